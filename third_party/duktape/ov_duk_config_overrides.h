/* Our Duktape configuration, included at the override point of the packaged
 * duk_config.h (see CMakeLists.txt beside this file).
 *
 * - Execution time-out: the interrupt counter makes the executor stop every
 *   so many bytecode instructions and ask ov_duk_exec_timeout_check (with the
 *   heap's user data) whether the evaluation is over its time; a non-zero
 *   answer raises a RangeError that no script can swallow.
 * - Native built-ins count steps (property accesses, string-search
 *   compares, every native call by the size of the strings it is handed,
 *   string comparisons, character-offset scans) with OV_DUK_NATIVE_STEPS;
 *   every so many steps the same time-out check runs, so sort, join,
 *   indexOf and the like over a huge "length", and loops of a few expensive
 *   calls, end with the same RangeError as a script loop.
 * - Native stack check: calls and the compiler stop with a RangeError while
 *   a safe margin of the thread's C stack is left, so deep recursion through
 *   native calls (map, toString, a sort comparator) cannot overflow it, even
 *   with the large frames of sanitizer builds.
 * - Date's "now" and the local time-zone offset come from our injectable
 *   clock and time-zone layer, so tests run the date and time functions at
 *   fixed instants and zones.
 * (The Duktape-specific globals "Duktape" and "performance" cannot be
 * configured away without regenerating the built-in tables; the PAC engine
 * deletes them from each fresh heap instead.)
 */
#if !defined(OV_DUK_CONFIG_OVERRIDES_H_INCLUDED)
#define OV_DUK_CONFIG_OVERRIDES_H_INCLUDED

#if defined(__cplusplus)
extern "C" {
#endif
/* Milliseconds since 1970-01-01 UTC from Tav::SystemTimeNow100ns. */
duk_double_t ov_duk_date_now(void);
/* Local time minus UTC, in seconds, at the UTC instant `time_ms`. */
duk_int_t ov_duk_local_tzoffset(duk_double_t time_ms);
/* Non-zero once the evaluation owning `heap_udata` is over its time. */
duk_bool_t ov_duk_exec_timeout_check(void* heap_udata);
/* Counts `steps` of native work; non-zero once the evaluation is over its
 * time (the clock is read only every so many steps). */
duk_bool_t ov_duk_native_steps(void* heap_udata, duk_uint32_t steps);
/* The steps that work over `bytes` bytes counts: one, and one for every 256
 * bytes (saturating). */
duk_uint32_t ov_duk_steps_for_bytes(duk_size_t bytes);
/* Non-zero when the calling thread's C stack is nearly used up. */
duk_bool_t ov_duk_native_stack_check(void);
#if defined(__cplusplus)
}
#endif

#define DUK_USE_INTERRUPT_COUNTER
#undef DUK_USE_EXEC_TIMEOUT_CHECK
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) ov_duk_exec_timeout_check((udata))

/* Only expanded inside duktape.c, where the internal types are known. */
#define OV_DUK_NATIVE_STEPS(thr, steps)                          \
  do {                                                           \
    if (ov_duk_native_steps((thr)->heap->heap_udata, (steps))) { \
      DUK_ERROR_RANGE((thr), "execution timeout");               \
    }                                                            \
  } while (0)
/* A native call about to run that is handed 256 bytes of strings or more
 * among its "this" and arguments (the valstack from the "this" slot, just
 * below the bottom, to the top): a step for every 256 bytes. Calls handed
 * less do bounded work each, and a loop of them reaches the executor's own
 * check, so they are not counted. */
#define OV_DUK_NATIVE_CALL_STEPS(thr)                                               \
  do {                                                                              \
    duk_size_t ov_duk_bytes_ = 0;                                                   \
    duk_tval* ov_duk_tv_;                                                           \
    for (ov_duk_tv_ = (thr)->valstack_bottom - 1; ov_duk_tv_ < (thr)->valstack_top; \
         ov_duk_tv_++) {                                                            \
      if (DUK_TVAL_IS_STRING(ov_duk_tv_)) {                                         \
        ov_duk_bytes_ += DUK_HSTRING_GET_BYTELEN(DUK_TVAL_GET_STRING(ov_duk_tv_));  \
      }                                                                             \
    }                                                                               \
    if (ov_duk_bytes_ >= 256) {                                                     \
      OV_DUK_NATIVE_STEPS((thr), ov_duk_steps_for_bytes(ov_duk_bytes_));            \
    }                                                                               \
  } while (0)
/* A comparison of two strings: the bytes it may look at. */
#define OV_DUK_STRING_PAIR_STEPS(thr, h1, h2)                                                 \
  OV_DUK_NATIVE_STEPS(                                                                        \
      (thr), ov_duk_steps_for_bytes(DUK_HSTRING_GET_BYTELEN(h1) < DUK_HSTRING_GET_BYTELEN(h2) \
                                        ? DUK_HSTRING_GET_BYTELEN(h1)                         \
                                        : DUK_HSTRING_GET_BYTELEN(h2)))

#undef DUK_USE_NATIVE_STACK_CHECK
#define DUK_USE_NATIVE_STACK_CHECK() ov_duk_native_stack_check()

/* The PAC engine keeps one heap and collects it itself between evaluations
 * (js_engine.cc); collections in the middle of an evaluation happen only
 * when an allocation fails. */
#undef DUK_USE_VOLUNTARY_GC
/* Every evaluation gets fresh built-ins. Built-in methods (String.prototype.
 * trim and the like) are light functions, plain tagged values instead of one
 * heap object each, which makes a fresh set about a fifth cheaper. What a
 * script can see of it: such a method's "name" is not its own, and
 * properties set on it are not kept. Constructors and prototypes are
 * ordinary objects. */
#define DUK_USE_LIGHTFUNC_BUILTINS

#undef DUK_USE_DATE_GET_NOW
#define DUK_USE_DATE_GET_NOW(ctx) ov_duk_date_now()
#undef DUK_USE_DATE_GET_LOCAL_TZOFFSET
#define DUK_USE_DATE_GET_LOCAL_TZOFFSET(d) ov_duk_local_tzoffset((d))

/* Duktape is linked into the module's shared library; its API is not part of
 * the module's exported surface. */
#if defined(__GNUC__) && !defined(_WIN32)
#undef DUK_EXTERNAL_DECL
#undef DUK_EXTERNAL
#define DUK_EXTERNAL_DECL __attribute__((visibility("hidden"))) extern
#define DUK_EXTERNAL __attribute__((visibility("hidden")))
#endif

#endif /* OV_DUK_CONFIG_OVERRIDES_H_INCLUDED */
