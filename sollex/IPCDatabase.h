#pragma once
// The asset-database owner block: every process that works on one asset database (the game,
// its utility, its tools and the patcher) shares a 36-byte block of named shared memory and a
// named mutex, both named after the database's folder. The block is a protocol between
// separate programs: its layout, names and field meanings are fixed.
//
// Block, little-endian (fields are 32-bit words read and written in place by several
// processes at once, so the layout is the machine's own and the build is little-endian only):
//   offset 0  u32 creator           process id; 0xFFFFFFFF after the creator detached
//          4  u32 owner             process id of the owner; 0xFFFFFFFF = none
//          8  u32 requester         the one process waiting to own; 0xFFFFFFFF = none
//         12  u32 change counter    raised by a process that changed the database
//         16  u32 layout value      3 once initialised; 0 in a block nobody initialised
//         20  i8  attach count      -1 (0xFF) = not counted
//         21  3 bytes padding
//         24  u32 exclusive holder  process id; 0 = none
//         28  u8  exclusive suspended  1 while the holder has suspended its holding
//         29  3 bytes padding
//         32  u32 owner value       published by the owner
// Names, for the database c:\games\userdata\assets.sdx:
//   mutex    "09731AC6-B611-4e2a-B181-578073F64F24/c:/games/userdata"
//   mapping  "09731AC6-B611-4e2a-B181-578073F64F24/c:/games/userdata/-ipc2"
// Names are built from the lower-cased folder; the folder itself is looked for as spelt.
//
// The module is process-global: one attachment per process, used from one thread at a time.
// The block and the mutex live while any process has them open: after the last one has gone,
// also by dying, the next attacher starts with a new, zero block, and a process that died holds
// no lock. There is no "abandoned" state to handle: a mutex whose holder died is simply free.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

struct IPCDatabaseBlock
{
    uint32_t creator;
    uint32_t owner;
    uint32_t requester;
    uint32_t changeCounter;
    uint32_t layout;
    int8_t attachCount;
    uint8_t padding1[3];
    uint32_t exclusiveHolder;
    uint8_t exclusiveSuspended;
    uint8_t padding2[3];
    uint32_t ownerValue;
};
static_assert(std::endian::native == std::endian::little, "the owner block is shared in place, little-endian");
static_assert(sizeof(IPCDatabaseBlock) == 36);
static_assert(offsetof(IPCDatabaseBlock, creator) == 0);
static_assert(offsetof(IPCDatabaseBlock, owner) == 4);
static_assert(offsetof(IPCDatabaseBlock, requester) == 8);
static_assert(offsetof(IPCDatabaseBlock, changeCounter) == 12);
static_assert(offsetof(IPCDatabaseBlock, layout) == 16);
static_assert(offsetof(IPCDatabaseBlock, attachCount) == 20);
static_assert(offsetof(IPCDatabaseBlock, exclusiveHolder) == 24);
static_assert(offsetof(IPCDatabaseBlock, exclusiveSuspended) == 28);
static_assert(offsetof(IPCDatabaseBlock, ownerValue) == 32);

constexpr uint32_t kIPCNone = 0xFFFFFFFF;  // creator, owner, requester (the exclusive holder uses 0)
constexpr uint32_t kIPCLayoutValue = 3;

// The folder (as spelt) and the two object names of a database path. False when the path does
// not end in a separator and "assets.sdx" (ASCII case ignored).
bool IPCMakeNames(const std::string& databasePath, std::string& folder, std::string& mutexName,
                  std::string& mappingName);

// Used by the patcher.
bool IPCInit(const char* databasePath, bool allowSuspendedExclusive);
int32_t IPCGetAttachCount();
bool IPCEnterExclusive();
void IPCLeaveExclusive();
void IPCShutdown();

// The rest of the interface, for the other programs that share the block.
void IPCIdle();
bool IPCTryAcquire(bool registerAsRequester);
void IPCAcquire();
void IPCRelease();
bool IPCIsOwner();
bool IPCIsRequesterAndOwner();
bool IPCOwnerHasRequest();
float IPCRequestWaitTime();
uint32_t IPCNotifyChange();
bool IPCHasChanged();
void IPCSyncChange();
bool IPCSuspendExclusive();
bool IPCResumeExclusive();
void IPCSetOwnerValue(uint32_t value);
uint32_t IPCGetOwnerValue();
void IPCLock();
void IPCUnlock();
void IPCCheckCreator();
// Initialises the mapped block with this process as creator.
void IPCInitBlock();

// For tools and tests: a copy of the block as it reads now. False when not attached.
bool IPCReadBlock(IPCDatabaseBlock& copy);

// How long an operation waits for the named mutex before it gives up (IPCLock excepted, which
// waits without limit). A process that hangs while holding the mutex must not stall the others:
// the patcher's files-in-use check gives up after its own tries, whatever the tools do.
constexpr uint32_t kIPCLockWaitMs = 2000;
// For tests: another bound for this process.
void IPCSetLockWait(uint32_t milliseconds);
