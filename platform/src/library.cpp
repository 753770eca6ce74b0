#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

SharedLibrary::~SharedLibrary() {
    Unload();
}

int SharedLibrary::Load(const char* name) {
    Unload();
    if (name == nullptr || name[0] == '\0') return -1;
    handle_ = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr ? 0 : -1;
}

void SharedLibrary::Unload() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
}

void* SharedLibrary::Find(const char* symbol) const {
    if (handle_ == nullptr || symbol == nullptr) return nullptr;
    return ::dlsym(handle_, symbol);
}

int SharedLibrary::Bind(const SymbolSlot* table, size_t count) const {
    int missing = 0;
    for (size_t i = 0; i < count; ++i) {
        *table[i].slot = Find(table[i].name);
        if (*table[i].slot == nullptr) ++missing;
    }
    return missing;
}

}  // namespace platform
