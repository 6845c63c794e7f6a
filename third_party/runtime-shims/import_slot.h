// Replacing a Windows import at link time.
//
// A call to a function the Windows headers declare dllimport goes through the import slot
// __imp__Name@N (for the i686 stdcall functions: a pointer the loader fills in from the DLL's
// export). When an object file of the program defines that slot itself, the linker takes it
// instead of the system import library's, and the function disappears from the program's import
// table: its callers, unchanged, call the replacement the slot points to. The slot's type is the
// Windows header's own declaration, so a replacement with another signature does not compile.
//
//   ZS_IMPORT_SLOT(CreateSemaphoreW, 16, CreateSemaphoreW_ansi);
//
// N is the stdcall argument size in bytes, as in the system import library's symbol
// (i686-w64-mingw32-nm lib/libkernel32.a | grep Name@).
#ifndef ZS_IMPORT_SLOT_H
#define ZS_IMPORT_SLOT_H

#define ZS_IMPORT_SLOT(name, bytes, replacement)                                          \
  extern "C" decltype(&::name) zs_import_slot_##name __asm__("__imp__" #name "@" #bytes); \
  decltype(&::name) zs_import_slot_##name = replacement

#endif
