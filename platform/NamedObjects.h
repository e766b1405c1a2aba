#pragma once
// Named mutexes and events.
//
// A named mutex is seen by every process of the same user on this machine. Each name is a small
// POSIX shared-memory file (name escaped, see `SharedObjectName`) on which open-file-description
// locks, which die with their holder, stand for:
//   byte 0  presence: every handle-holding process keeps a read lock; whoever finds no other
//           holder creates the object afresh ("destroyed with its last handle") and removes
//           the file when it closes last;
//   byte 1  exclusive access: held by a creator that shuts everybody else out;
//   byte 2  ownership: held by the process whose thread owns the mutex. The file's first byte
//           records "owned", so a process that dies owning it leaves it abandoned for the next.
// Within one process a name maps to one object, shared by every handle that names it.
//
// A named event is seen by every process of the same user too, under the same scheme (byte 0's
// presence lock; the file holds the event's state). Mutexes and events share one name space:
// a name held by the other kind gives last error 6. A change made by another process reaches
// this process's waiters within a few milliseconds.

#include <string>

#include "platform/Waitable.h"

namespace platform
{

// Creates the named mutex (not owned), or opens it when it exists: then `existed` is true and the
// last error is 183. With `exclusive`, nobody else may open it by name while this handle lives.
// Null on failure; last error 5 when another holder has it exclusively.
WaitableRef CreateNamedMutex(const std::string& name, bool exclusive, bool& existed);
// Null with last error 2 when no process holds a mutex of that name.
WaitableRef OpenNamedMutex(const std::string& name);

// As above, for events: an existing event keeps its own reset kind and state. A name used by a
// mutex gives null with last error 6.
WaitableRef CreateNamedEvent(const std::string& name, bool manualReset, bool initialState, bool& existed);
WaitableRef OpenNamedEvent(const std::string& name);

// The shared-memory name of an object name: "/lumo.", then the name with every byte outside
// [A-Za-z0-9._-] as "%XX"; a very long name keeps its start and a hash of the whole.
std::string SharedObjectName(const std::string& name);

}  // namespace platform
