// vexmor: the product's command line. Its commands, options and help are in the command table.
#include "command_table.h"

int main(int argc, char** argv) {
  return vexmor::tools::RunCommandLine(argc, argv);
}
