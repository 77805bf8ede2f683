#include "stack/secure_socket_layer.h"

#include <utility>

#include "foundation/log.h"
#include "foundation/network_runtime.h"

std::atomic<uint32_t> nwCSecureSocketClientLayer::largestLeftover_{0};

nwCSecureSocketClientLayer::nwCSecureSocketClientLayer() {
    Init();
}

nwCSecureSocketClientLayer::~nwCSecureSocketClientLayer() {
    ssl_.reset();
}

void nwCSecureSocketClientLayer::Init() {
    RegisterRawHandler(&nwCSecureSocketClientLayer::OnRawData, this);
}

const char* nwCSecureSocketClientLayer::HostName() {
    const char* name = nullptr;
    if (vmFailed(GetHostName(&name)) || name == nullptr) {
        return "";
    }
    return name;
}

void nwCSecureSocketClientLayer::EndCall() {
    inCall_ = false;
    if (std::exchange(destroyDeferred_, false)) {
        ssl_.reset();
    }
}

void nwCSecureSocketClientLayer::Fail(const char* stage) {
    const std::string reason = ssl_ ? ssl_->FailureReason() : std::string("no TLS session");
    WriteLogLineF("[TessloadLib] TLS %s Failed host:%s reason:%s", stage, HostName(),
                  reason.c_str());
    // A server that cannot prove who it is goes to the back, as one that does not answer.
    if (!handshakeComplete_ && context_ != nullptr) {
        context_->ReportAddressBad();
    }
    Close();
}

bool nwCSecureSocketClientLayer::OnConnected() {
    if (ssl_) {
        return true;
    }
    const COpenSSLCallbacks callbacks{this, &OnCipherOut, &OnHandshakeDone, &OnPlainData};
    ssl_ = COpenSSL::Create(callbacks, HostName());
    if (!ssl_) {
        Fail("Start");
        return false;
    }
    inCall_ = true;
    const vmResult started = ssl_->StartHandshake();
    inCall_ = false;
    // The ClientHello went down during the call; a close raised meanwhile is carried out below.
    const bool closedMeanwhile = destroyDeferred_;
    if (vmFailed(started) && !closedMeanwhile) {
        Fail("Start");
    }
    EndCall();
    return vmSucceeded(started) && !closedMeanwhile;
}

int32_t nwCSecureSocketClientLayer::OnRawData(const uint8_t* data, uint32_t length, void* user) {
    return static_cast<nwCSecureSocketClientLayer*>(user)->ReceiveCipher(data, length);
}

int32_t nwCSecureSocketClientLayer::ReceiveCipher(const uint8_t* data, uint32_t length) {
    if (!ssl_) {
        return -1;  // nothing can read these bytes: the context closes the connection
    }
    uint32_t consumed = 0;
    inCall_ = true;
    const bool handshaking = !handshakeComplete_;
    const vmResult r = handshaking ? ssl_->HandshakeStep(data, length, &consumed)
                                   : ssl_->Read(data, length, &consumed);
    if (vmFailed(r) && !destroyDeferred_) {
        // Log while the session still holds its reason; a deferred destroy is carried out after.
        inCall_ = false;
        Fail(handshaking ? "Handshake" : "Read");
        EndCall();
        return 0;
    }
    EndCall();
    return vmFailed(r) ? 0 : static_cast<int32_t>(consumed);
}

void nwCSecureSocketClientLayer::OnCipherOut(const uint8_t* data, uint32_t length, void* user) {
    // This is the bottom layer: the bytes join the socket's send queue.
    static_cast<nwCSecureSocketClientLayer*>(user)->SendDown(data, length);
}

void nwCSecureSocketClientLayer::OnHandshakeDone(void* user) {
    auto* self = static_cast<nwCSecureSocketClientLayer*>(user);
    self->handshakeComplete_ = true;
    while (!self->queued_.empty() && self->ssl_ && !self->destroyDeferred_) {
        const std::vector<uint8_t> buffer = std::move(self->queued_.front());
        self->queued_.pop_front();
        self->WriteThrough(buffer.data(), static_cast<uint32_t>(buffer.size()));
    }
}

void nwCSecureSocketClientLayer::WriteThrough(const uint8_t* data, uint32_t length) {
    const bool outer = std::exchange(inCall_, true);
    const vmResult r = ssl_->Write(data, length);
    inCall_ = outer;
    if (vmFailed(r) && !destroyDeferred_) {
        // Bytes OpenSSL did not take are lost to the stream: the connection cannot go on.
        Fail("Write");
    }
    if (!outer) {
        EndCall();
    }
}

void nwCSecureSocketClientLayer::OnPlainData(const uint8_t* data, uint32_t length, void* user) {
    auto* self = static_cast<nwCSecureSocketClientLayer*>(user);
    if (!self->ssl_ || self->destroyDeferred_) {
        return;
    }
    const uint8_t* bytes = data;
    uint32_t total = length;
    std::vector<uint8_t> joined;
    if (!self->leftover_.empty()) {
        joined.reserve(self->leftover_.size() + length);
        joined.assign(self->leftover_.begin(), self->leftover_.end());
        joined.insert(joined.end(), data, data + length);
        bytes = joined.data();
        total = static_cast<uint32_t>(joined.size());
    }
    const int32_t consumed = self->PassUp(bytes, total);
    if (consumed < 0 || static_cast<uint32_t>(consumed) > total) {
        self->leftover_.clear();
        self->Close();
        return;
    }
    // The layer above may have closed (and so emptied the leftover) while it handled the bytes.
    if (self->destroyDeferred_) {
        self->leftover_.clear();
        return;
    }
    self->leftover_.assign(bytes + consumed, bytes + total);
    const auto held = static_cast<uint32_t>(self->leftover_.size());
    uint32_t largest = largestLeftover_.load();
    while (held > largest && !largestLeftover_.compare_exchange_weak(largest, held)) {
    }
}

void nwCSecureSocketClientLayer::Write(const void* data, uint32_t length) {
    if (length == 0 || data == nullptr) {
        return;
    }
    if (dispatcher_.Stopped()) {
        return;  // closed: nothing more goes out
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!handshakeComplete_) {
        queued_.emplace_back(bytes, bytes + length);
        return;
    }
    if (ssl_ && !destroyDeferred_) {
        WriteThrough(bytes, length);
    }
}

bool nwCSecureSocketClientLayer::OnSendQueueEmpty() {
    // Queued plaintext waits for the handshake: written before it, OpenSSL would drop it.
    // Nor may it start while OpenSSL is inside a call (this event can come from its output).
    if (!handshakeComplete_ || queued_.empty() || !ssl_ || inCall_) {
        return true;
    }
    const std::vector<uint8_t> buffer = std::move(queued_.front());
    queued_.pop_front();
    WriteThrough(buffer.data(), static_cast<uint32_t>(buffer.size()));
    return false;
}

void nwCSecureSocketClientLayer::OnClosed() {
    if (inCall_) {
        destroyDeferred_ = true;  // OpenSSL is inside a call on this session
    } else {
        ssl_.reset();
    }
    queued_.clear();
    if (!inCall_) {
        leftover_.clear();
    }
}

bool nwCSecureSocketClientLayer::OnIdleTimeout() {
    // A peer silent after our hello (one that waits for plain HTTP, or no TLS server at all)
    // would otherwise fail with nothing in the log but a time-out.
    if (ssl_ && !handshakeComplete_) {
        WriteLogLineF("[TessloadLib] TLS Handshake Failed host:%s reason:no answer to the hello",
                      HostName());
    }
    return true;
}

void vmRegisterSecureSocketClasses() {
    vmRegisterClass(CLSID_nwCSecureSocketClientLayer,
                    &vmNewObject<nwCSecureSocketClientLayer, vmISecureSocketClientLayer>);
    cpTlsHooks hooks;
    hooks.initialize = &COpenSSL::ProcessStartup;
    hooks.loadCertificates = &COpenSSL::LoadBuiltInCertificates;
    hooks.cleanup = &COpenSSL::ProcessCleanup;
    cpSetTlsHooks(hooks);
}
