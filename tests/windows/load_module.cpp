// Loads an extension module the way the interpreter does on Windows and looks up its entry
// point: load_module.exe INTERPRETER_DLL MODULE_PYD [ENTRY_POINT]. The interpreter DLL (here a
// stand-in exporting the names the module imports) is loaded first, as it is in a real process,
// so the module's imports bind to it by name. The entry point is only looked up, never called.
// Exit status 0 when both load and the entry point exists.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int fail(const char* what, const wchar_t* path) {
  std::fprintf(stderr, "load_module: %s %ls: error %lu\n", what, path, GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: load_module INTERPRETER_DLL MODULE_PYD [ENTRY_POINT]\n");
    return 2;
  }
  if (LoadLibraryExW(argv[1], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) == nullptr) {
    return fail("cannot load the interpreter", argv[1]);
  }
  // The flags of the interpreter's own extension loader.
  HMODULE module = LoadLibraryExW(
      argv[2], nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  if (module == nullptr) return fail("cannot load", argv[2]);
  std::string entry = "PyInit_mervik";
  if (argc == 4) {
    entry.clear();
    for (const wchar_t* c = argv[3]; *c != 0; ++c) entry += static_cast<char>(*c);
  }
  FARPROC init = GetProcAddress(module, entry.c_str());
  if (init == nullptr) return fail(("no " + entry + " in").c_str(), argv[2]);
  std::printf("%ls: loaded, %s found\n", argv[2], entry.c_str());
  return 0;
}
