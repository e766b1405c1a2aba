#pragma once
// The invariant check: `text` is the expression as written in the source. A failed check writes
// "Assertion failed: <text>" and ends the process.

void Assert(bool condition, const char* text);
