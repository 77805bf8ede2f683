// nwCSecureSocketClientLayer (class id 0x2017): TLS at the socket end of a connection's chain.
// Everything the layers above send is encrypted on its way down, everything received is
// decrypted before they see it. OpenSSL never touches the socket (see stack/Lib_SSL/open_ssl.h):
// cipher bytes go down through this layer, received cipher bytes are offered to OpenSSL straight
// from the connection's receive buffer.
//
// The layers above see OnConnected as soon as TCP is up; what they write before the handshake
// ends is queued here and sent, in order, right after it. A handshake that fails (an untrusted,
// expired or wrong-name certificate, a peer that does not speak TLS) closes the connection, so
// owners see the OnClosed they already handle for a dropped connection; the log names the host
// and the reason.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "stack/Lib_SSL/open_ssl.h"
#include "stack/net_stack.h"

class vmISecureSocketClientLayer : public vmIUnknown {};

class nwCSecureSocketClientLayer : public nwTLayer<vmISecureSocketClientLayer> {
  public:
    nwCSecureSocketClientLayer();
    ~nwCSecureSocketClientLayer() override;

    void Write(const void* data, uint32_t length) override;
    bool OnConnected() override;
    bool OnHostUnreachable() override { return true; }
    void OnClosed() override;
    bool OnConnectTimeout() override { return true; }
    bool OnSendQueueEmpty() override;
    bool OnIdleTimeout() override;

    bool HandshakeComplete() const { return handshakeComplete_; }
    // The most plaintext any layer of the process has held back unconsumed (diagnostics: the
    // layers above are meant to consume as bytes arrive).
    static uint32_t LargestLeftover() { return largestLeftover_.load(); }
    static void ResetLargestLeftover() { largestLeftover_ = 0; }

  private:
    void Init();
    static int32_t OnRawData(const uint8_t* data, uint32_t length, void* user);
    int32_t ReceiveCipher(const uint8_t* data, uint32_t length);
    static void OnCipherOut(const uint8_t* data, uint32_t length, void* user);
    static void OnHandshakeDone(void* user);
    static void OnPlainData(const uint8_t* data, uint32_t length, void* user);
    void EndCall();
    void Fail(const char* stage);
    void WriteThrough(const uint8_t* data, uint32_t length);
    const char* HostName();

    std::unique_ptr<COpenSSL> ssl_;
    bool handshakeComplete_ = false;
    std::deque<std::vector<uint8_t>> queued_;
    std::vector<uint8_t> leftover_;
    bool inCall_ = false;
    bool destroyDeferred_ = false;

    static std::atomic<uint32_t> largestLeftover_;
};

// Registers the TLS layer's class id and the process TLS start-up with the network runtime.
void vmRegisterSecureSocketClasses();
