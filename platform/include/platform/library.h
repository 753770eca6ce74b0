// Run-time loading of shared libraries and tables of looked-up entry points.
#pragma once

#include <cstddef>

namespace platform {

// One entry point to look up: its exported name and the slot that receives it.
struct SymbolSlot {
    const char* name;
    void** slot;
};

// A shared library loaded with dlopen; unloaded when destroyed.
class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads by file name (searched the usual way) or path. Returns 0 or -1.
    int Load(const char* name);
    void Unload();
    bool IsLoaded() const { return handle_ != nullptr; }

    // Address of an exported symbol, or null.
    void* Find(const char* symbol) const;

    // Fills every slot of the table. Slots of missing symbols are set to null.
    // Returns the number of symbols that could not be found (0 = complete).
    int Bind(const SymbolSlot* table, size_t count) const;

  private:
    void* handle_ = nullptr;
};

}  // namespace platform
