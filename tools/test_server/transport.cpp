#include "test_server/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

namespace tev::tools {

std::shared_ptr<TlsServerIdentity> TlsServerIdentity::Load(const std::string& certificateFile,
                                                           const std::string& keyFile,
                                                           std::string* error) {
    std::shared_ptr<TlsServerIdentity> identity(new TlsServerIdentity);
    identity->context_ = SSL_CTX_new(TLS_server_method());
    const auto fail = [&](const std::string& what) {
        char text[256] = "";
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        ERR_clear_error();
        if (error != nullptr) {
            *error = what + ": " + text;
        }
        return nullptr;
    };
    if (identity->context_ == nullptr) {
        return fail("cannot create a TLS context");
    }
    if (SSL_CTX_use_certificate_chain_file(identity->context_, certificateFile.c_str()) != 1) {
        return fail("cannot read the certificate " + certificateFile);
    }
    if (SSL_CTX_use_PrivateKey_file(identity->context_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        return fail("cannot read the key " + keyFile);
    }
    if (SSL_CTX_check_private_key(identity->context_) != 1) {
        return fail("the key does not belong to the certificate");
    }
    SSL_CTX_set_mode(identity->context_,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return identity;
}

TlsServerIdentity::~TlsServerIdentity() {
    SSL_CTX_free(context_);
}

TlsTransport::TlsTransport(int fd, std::shared_ptr<TlsServerIdentity> identity)
    : fd_(fd), identity_(std::move(identity)) {
    ssl_ = SSL_new(identity_->Context());
    if (ssl_ != nullptr) {
        SSL_set_fd(ssl_, fd_);
    }
}

TlsTransport::~TlsTransport() {
    SSL_free(ssl_);
}

IoWait TlsTransport::WaitFor(int r, const StopFlag& stop, int timeoutMs, bool* fatal) {
    const int kind = SSL_get_error(ssl_, r);
    *fatal = false;
    if (kind == SSL_ERROR_WANT_READ) {
        return WaitIo(fd_, POLLIN, stop, timeoutMs);
    }
    if (kind == SSL_ERROR_WANT_WRITE) {
        return WaitIo(fd_, POLLOUT, stop, timeoutMs);
    }
    *fatal = true;
    return IoWait::Error;
}

bool TlsTransport::Accept(const StopFlag& stop, int timeoutMs, std::string* error) {
    if (ssl_ == nullptr) {
        *error = "no TLS session";
        return false;
    }
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(ssl_);
        if (r == 1) {
            return true;
        }
        bool fatal = false;
        const IoWait w = WaitFor(r, stop, timeoutMs, &fatal);
        if (fatal || w != IoWait::Ready) {
            char text[256] = "handshake ended";
            if (const unsigned long e = ERR_get_error(); e != 0) {
                ERR_error_string_n(e, text, sizeof text);
            }
            ERR_clear_error();
            *error = text;
            return false;
        }
    }
}

long TlsTransport::Receive(std::string& buffer, size_t max, const StopFlag& stop, int timeoutMs,
                           IoWait* wait) {
    const auto answer = [&](IoWait w, long n) {
        if (wait != nullptr) {
            *wait = w;
        }
        return n;
    };
    for (;;) {
        const size_t old = buffer.size();
        buffer.resize(old + max);
        ERR_clear_error();
        const int r = SSL_read(ssl_, buffer.data() + old, static_cast<int>(max));
        buffer.resize(old + (r > 0 ? static_cast<size_t>(r) : 0));
        if (r > 0) {
            return answer(IoWait::Ready, r);
        }
        const int kind = SSL_get_error(ssl_, r);
        if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
            ERR_clear_error();
            return answer(IoWait::Ready, 0);  // close-notify or a plain TCP close
        }
        bool fatal = false;
        const IoWait w = WaitFor(r, stop, timeoutMs, &fatal);
        if (fatal || w != IoWait::Ready) {
            ERR_clear_error();
            return answer(fatal ? IoWait::Error : w, -1);
        }
    }
}

bool TlsTransport::Send(std::string_view bytes, const StopFlag& stop, int timeoutMs) {
    size_t done = 0;
    while (done < bytes.size()) {
        ERR_clear_error();
        const int r = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        bool fatal = false;
        if (WaitFor(r, stop, timeoutMs, &fatal) != IoWait::Ready || fatal) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

void TlsTransport::Shutdown(const StopFlag& stop) {
    if (ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
        SSL_shutdown(ssl_);  // one close-notify; the peer's answer is not awaited
        ERR_clear_error();
    }
    ShutdownGracefully(fd_, stop);
}

}  // namespace tev::tools
