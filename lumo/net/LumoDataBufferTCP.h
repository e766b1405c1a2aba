#pragma once
// One TCP connection as a stream: WriteData sends exactly the given bytes and ReadData receives
// exactly the bytes asked for, each blocking until the whole transfer is done or has failed.
// Every call is one operation of the completion-port socket layer (lumo/net/TCPSocket.h).
//
// Results of ReadData: 0 when all bytes arrived; LUMORESULT_PARTIAL_DATA only with
// SetReturnOnPartialData, when fewer arrived in the first completion (counted as success);
// LUMORESULT_ABORTED when the peer closed before all bytes arrived, or when the stream was
// disconnected abortively under the read; otherwise the socket layer's mapped error. Bytes of a
// failed read are not counted in the position.
//
// One thread may read and one may write at a time; an abortive Disconnect from any thread ends a
// read or write that would otherwise wait without limit (the layer itself has no time-out).
// The position is the count of bytes read, 64-bit. Size and seeking are not supported. Bytes
// sent are counted as the socket layer moves them, so another thread sees a long write's progress
// before it ends (GetBytesSent).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/SocketAddress.h"
#include "lumo/net/TCPSocket.h"

class LumoDataBufferTCP : public LumoDataBuffer
{
public:
    // Acquires the socket manager and makes a socket; when that fails every I/O call returns
    // LUMORESULT_INVALID_STATE (a manager whose thread the system refused is named in a console line).
    LumoDataBufferTCP();
    // Takes over socket (for instance an accepted one), counted as connected when it has a peer.
    explicit LumoDataBufferTCP(TCPSocket* socket);
    // Closes the socket (abortively) and releases the socket manager.
    ~LumoDataBufferTCP() override;

    uint64_t GetSize() const override { return 0; }
    LUMORESULT SetSize(uint64_t) override { return LUMORESULT_NOT_SUPPORTED; }
    uint64_t GetPosition() const override { return bytesRead.load(); }
    LUMORESULT SetPosition(uint64_t) override { return LUMORESULT_NOT_SUPPORTED; }
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    LUMORESULT ReadData(void* data, uint32_t length) override;

    // Binds to 0.0.0.0 port 0, then connects. LUMORESULT_INVALID_STATE without a socket or when
    // connected already; LUMORESULT_CONNECTION_REFUSED when nothing listens.
    LUMORESULT Connect(const SocketAddress& address);
    // The system's error of the last failed Connect (Winsock numbering, lumo/net/SocketError.h); 0
    // after one that succeeded.
    uint32_t GetConnectError() const { return connectError.load(); }
    // Abortive: the socket is closed at once and blocked transfers end with an error. Graceful:
    // both directions are shut down and the peer sees the end of the stream.
    void Disconnect(bool abortive);
    // how: 0 receive, 1 send, 2 both (any other value is taken as 2).
    LUMORESULT Shutdown(int how);
    bool IsConnected() const { return socket != nullptr && connected.load(); }
    void SetReturnOnPartialData(bool value) { returnOnPartialData.store(value); }
    // Bytes the system has taken to send so far, every partial send of a write counted as it
    // completes; a failed write's bytes that went out are counted too.
    uint64_t GetBytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
    // The socket's addresses; address 0 and port 0 without a socket.
    SocketAddress GetLocalAddress() const;
    SocketAddress GetRemoteAddress() const;

private:
    std::atomic<uint32_t> connectError{0};
    LUMORESULT Transfer(void* data, uint32_t length, bool reading);
    // Takes this stream's reference to the socket manager; false (socket dropped, line printed)
    // when the manager cannot be made.
    bool HoldSocketManager();

    std::mutex lock;  // held while an operation is posted and while the socket is closed
    std::unique_ptr<TCPSocket> socket;
    std::atomic<uint64_t> bytesRead{0};
    std::atomic<uint64_t> bytesSent{0};  // added to by the worker
    std::atomic<bool> returnOnPartialData{false};
    std::atomic<bool> connected{false};
    bool managerHeld = false;
};
