// The VB_ alias of every operation: an entry point of its own that hands all arguments on
// unchanged and returns the operation's result unchanged, for callers that bind by the plain
// name (Visual Basic declares them as VB_OpenDUT and so on).
#include "library/core/platform.h"
#include "library/exports/operations.h"

#define TALVEN_CAT_(a, b) a##b
#define TALVEN_CAT(a, b) TALVEN_CAT_(a, b)

#define TALVEN_PARAMS_1(t1) t1 a1
#define TALVEN_PARAMS_2(t1, t2) t1 a1, t2 a2
#define TALVEN_PARAMS_3(t1, t2, t3) t1 a1, t2 a2, t3 a3
#define TALVEN_PARAMS_4(t1, t2, t3, t4) t1 a1, t2 a2, t3 a3, t4 a4
#define TALVEN_ARGS_1 a1
#define TALVEN_ARGS_2 a1, a2
#define TALVEN_ARGS_3 a1, a2, a3
#define TALVEN_ARGS_4 a1, a2, a3, a4

// The list's types must be exactly the declared ones: this fails to compile otherwise.
#define TALVEN_CHECK_SIGNATURE(ret, name, argc, types) \
  [[maybe_unused]] constexpr ret(WINAPI* const check_##name) types = &name;

#define TALVEN_DEFINE_ALIAS(ret, name, argc, types)                         \
  extern "C" ret WINAPI VB_##name(TALVEN_CAT(TALVEN_PARAMS_, argc) types) { \
    return name(TALVEN_CAT(TALVEN_ARGS_, argc));                            \
  }

namespace {
TALVEN_OPERATIONS(TALVEN_CHECK_SIGNATURE)
}  // namespace

TALVEN_OPERATIONS(TALVEN_DEFINE_ALIAS)
