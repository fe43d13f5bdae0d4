// The library built without its fast paths (libhdx_general, beside the one under test): a fuzz
// target hands each input to both, on copies, and checks that they return the same, write the
// same output and leave the same bytes. The fast paths answer short inputs from a classification
// of their bytes; this is what holds them to the general walk on every build level and target.
#ifndef HDX_FUZZ_GENERAL_PATH_H
#define HDX_FUZZ_GENERAL_PATH_H

#include <dlfcn.h>

#include "fuzz_input.h"

namespace hdx_fuzz {

// The entry point `name` of the general build, of the same type as `fast`.
template <class F>
F general(F /*fast*/, const char* name) {
  static void* const library = dlopen(HDX_GENERAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  check(library != nullptr);
  const auto f = reinterpret_cast<F>(dlsym(library, name));
  check(f != nullptr);
  return f;
}

}  // namespace hdx_fuzz

#endif  // HDX_FUZZ_GENERAL_PATH_H
