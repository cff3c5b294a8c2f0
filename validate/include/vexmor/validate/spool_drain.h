// The spool drainer of a program that sends waiting reports on its own timer, on the
// process's own profile files, registry and HTTP client.
#pragma once

#include <memory>
#include <string>

#include "vexmor/validate/report_spool.h"

namespace vexmor::validate {

// "install_dir" ends with '/'. The program calls Tick() from a timer of its own.
std::unique_ptr<SpoolDrainer> MakeProcessSpoolDrainer(const std::string& install_dir);

}  // namespace vexmor::validate
