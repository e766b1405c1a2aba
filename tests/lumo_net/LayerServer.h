#pragma once
// The server side of the socket layer on 127.0.0.1 at a free port, handing out accepted
// connections as streams. Header-only, for the tests and the benchmark.
#include <memory>

#include "lumo/net/LumoDataBufferTCP.h"

namespace nettest
{

class LayerServer
{
public:
    explicit LayerServer(int backlog)
    {
        AcquireSocketManager(1);
        m_ok = m_listener.Create(g_socketManager.load()) &&
               m_listener.Bind(SocketAddress{0x7F000001, 0}, 2) == LUMORESULT_OK &&
               m_listener.Listen(backlog) == LUMORESULT_OK;
    }
    ~LayerServer()
    {
        m_listener.Close();
        ReleaseSocketManager();
    }
    bool Ok() const { return m_ok; }
    SocketAddress Address() const { return m_listener.GetLocalAddress(); }

    // The next connection as a stream; null when the accept failed.
    std::unique_ptr<LumoDataBufferTCP> Accept()
    {
        auto socket = std::make_unique<TCPSocket>();
        socket->Create(g_socketManager.load());  // a placeholder the connection replaces
        IOOperation operation;
        m_listener.EnterUserland(TCPSocket::USERLAND_OPERATION_CLASS_READ);
        m_listener.StartAccept(*socket, operation);
        operation.Wait();
        m_listener.LeaveUserland(TCPSocket::USERLAND_OPERATION_CLASS_READ);
        if (operation.GetError() != LUMORESULT_OK)
            return nullptr;
        return std::make_unique<LumoDataBufferTCP>(socket.release());
    }

private:
    TCPSocket m_listener;
    bool m_ok = false;
};

} // namespace nettest
