// An add-in library that crashes as soon as the client asks it for its class.
#include <csignal>
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t DllGetClassObject(const void*,
                                                                            const void*, void**) {
  std::raise(SIGSEGV);
  return 0;
}
