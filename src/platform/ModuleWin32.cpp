#include "platform/Module.h"

#include <windows.h>

#include "platform/TextCodeWin32.h"

namespace rs232 {

void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string& error) {
    HMODULE module = LoadLibraryW(detail::WidePath(path).c_str());
    void* address = module ? reinterpret_cast<void*>(GetProcAddress(module, symbol)) : nullptr;
    if (!address) error = "cannot load " + std::string(symbol) + " from " + path;
    return address;
}

}  // namespace rs232
