// CBlockingSocket: one TCP socket with blocking calls whose waits are
// bounded by whole seconds (-1: no limit, receiving only). Every failure is
// thrown as a CBlockingSocketException by value.
//
// Every socket made by Create or Accept has TCP keep-alive switched on
// (SockSetKeepAlive), so a peer that vanished ends the calls on it within
// 30 s whether or not data flows. Listen takes a backlog large enough for a
// burst of a thousand connects.
//
// The two services use slightly different variants (chosen at construction):
// the client pauses a second before making a socket in an empty object and
// throws on a failed receive; the server returns -1 instead and treats an
// empty object as a no-op for Write and Read.
//
// One thread may send while another receives. Close may come from any
// thread: it wakes every call blocked on the object, and the handle value is
// not released to the system while such a call still runs, so no call ever
// acts on a socket that reused the number.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/socket_api.h"

namespace tovl {

// Pending connections the listening socket queues before Accept takes them.
constexpr int kListenBacklog = 1024;

enum class SocketVariant { Client, Server };

class CBlockingSocketException {
  public:
    // Reads the thread's last socket error.
    explicit CBlockingSocketException(const char* operation);

    // Renders "<operation> error #<code>" (or "<operation> error" for code 0)
    // into text, cut to capacity - 1 characters. Always true.
    bool GetErrorMessage(char* text, unsigned capacity, unsigned* helpContext = nullptr) const;

    int ErrorCode() const { return error_; }
    const std::string& Operation() const { return operation_; }

  private:
    int error_;
    std::string operation_;
};

class CBlockingSocket {
  public:
    explicit CBlockingSocket(SocketVariant variant) : variant_(variant) {}
    // Destroying an object does not close its socket (the owner calls Close);
    // the handle is released once nothing refers to it.
    ~CBlockingSocket() = default;
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    void Create(int type = tovl::kSockStream);
    // A socket of family (kAfInet or kAfInet6); otherwise as Create(type).
    void Create(int type, int family);
    void Connect(const tovl::SockAddrIn& address);
    void Bind(const tovl::SockAddrIn& address);
    void Listen();
    bool Accept(CBlockingSocket& target, tovl::SockAddrIn* peer);
    void GetPeerName(tovl::SockAddrIn* peer);
    // The same with an address of either family, and the same operation
    // names in what they throw.
    void Connect(const tovl::SockAddr& address);
    void Bind(const tovl::SockAddr& address);
    bool Accept(CBlockingSocket& target, tovl::SockAddr* peer);
    void GetPeerName(tovl::SockAddr* peer);
    int Send(const void* data, int length, int seconds);
    int Receive(void* buffer, int capacity, int seconds);
    int Write(const void* data, int length, int seconds);
    int Read(void* buffer, int length, int seconds);
    void Close();

    // 0 while the object holds no socket.
    tovl::SocketHandle Handle() const;
    bool HoldsSocket() const { return Acquire() != nullptr; }
    SocketVariant Variant() const { return variant_; }

  private:
    std::shared_ptr<tovl::CSocketHandle> Acquire() const;
    // Accept with the platform call that fills the caller's kind of address.
    template <typename AcceptCall>
    bool AcceptWith(CBlockingSocket& target, const AcceptCall& call);
    void Store(tovl::SocketHandle handle);

    const SocketVariant variant_;
    mutable std::mutex lock_;
    std::shared_ptr<tovl::CSocketHandle> socket_;
};

}  // namespace tovl
