#pragma once
// A broken promise ends the run at once, where the fuzzer records the input that broke it.

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}
