#include "platform/Module.h"

#include <dlfcn.h>

namespace rs232 {

void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string& error) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* address = module ? dlsym(module, symbol) : nullptr;
    if (!address) error = dlerror();
    return address;
}

}  // namespace rs232
