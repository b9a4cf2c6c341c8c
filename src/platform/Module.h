// Shared modules loaded at run time.
#pragma once

#include <string>

namespace rs232 {

// Loads the module at path and returns the address of its symbol; null with the loader's
// message in error when either cannot be found. The module stays loaded until the process ends.
void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string& error);

}  // namespace rs232
