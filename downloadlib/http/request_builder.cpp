#include "http/request_builder.h"

#include <strings.h>

#include "foundation/paths.h"
#include "http/uri_codec.h"

namespace {

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsRequestLine(const std::string& name) {
    return name.starts_with("GET") || name.starts_with("POST");
}

}  // namespace

std::string DefaultReferer() {
    std::string host = DownloadServer();
    const size_t colon = host.find(':');
    if (colon != std::string::npos) {
        host.resize(colon);
    }
    return "http://" + host;
}

nwCHttpRequestHeaderBuilder::Header* nwCHttpRequestHeaderBuilder::FindHeader(
    const std::string& name) {
    for (Header& header : headers_) {
        if (EqualsIgnoreCase(header.name, name)) {
            return &header;
        }
    }
    return nullptr;
}

void nwCHttpRequestHeaderBuilder::SetHeader(const std::string& name, const std::string& value) {
    std::string stored = value;
    if (IsRequestLine(name)) {
        const size_t question = value.find('?');
        if (question != std::string::npos) {
            stored = value.substr(0, question);
            const std::string query = value.substr(question + 1);
            size_t start = 0;
            while (start <= query.size()) {
                size_t end = query.find('&', start);
                if (end == std::string::npos) {
                    end = query.size();
                }
                const std::string piece = query.substr(start, end - start);
                const size_t equals = piece.find('=');
                if (equals != std::string::npos) {
                    SetParam(piece.substr(0, equals), piece.substr(equals + 1));
                }
                start = end + 1;
            }
        }
    }
    if (Header* existing = FindHeader(name)) {
        existing->value = value;
        return;
    }
    headers_.push_back({name, stored, false});
}

void nwCHttpRequestHeaderBuilder::SetParam(const std::string& name, const std::string& value) {
    for (Param& param : params_) {
        if (EqualsIgnoreCase(param.name, name)) {
            param.value = value;
            return;
        }
    }
    params_.push_back({name, value});
}

void nwCHttpRequestHeaderBuilder::WriteIfSet(const char* name, const std::string& fallback,
                                             std::string* out) {
    std::string value = fallback;
    if (Header* header = FindHeader(name)) {
        header->written = true;
        value = header->value;
    }
    if (!value.empty()) {
        *out += name;
        *out += ": ";
        *out += value;
        *out += "\r\n";
    }
}

std::string nwCHttpRequestHeaderBuilder::RequestTarget() {
    std::string path = "/";
    Header* line = FindHeader("GET");
    if (line == nullptr) {
        line = FindHeader("POST");
    }
    if (line != nullptr) {
        line->written = true;
        path = line->value;
    }
    std::string utf8;
    AnsiToUtf8(path, &utf8);

    std::string target;
    size_t start = 0;
    while (start <= utf8.size()) {
        size_t end = utf8.find('/', start);
        if (end == std::string::npos) {
            end = utf8.size();
        }
        std::string piece = utf8.substr(start, end - start);
        if (!piece.empty()) {
            // Locations and list URLs come encoded already; their escapes are kept.
            utCUriCodec::EncodeKeepingEscapes(&piece);
            target += '/';
            target += piece;
        }
        start = end + 1;
    }
    if (target.empty()) {
        target = "/";
    }
    for (size_t i = 0; i < params_.size(); ++i) {
        std::string name = params_[i].name;
        std::string value = params_[i].value;
        utCUriCodec::EncodeKeepingEscapes(&name);
        utCUriCodec::EncodeKeepingEscapes(&value);
        target += i == 0 ? '?' : '&';
        target += name + "=" + value;
    }
    return target;
}

void nwCHttpGETHeaderBuilder::BuildHeader(std::string* out) {
    *out += "GET " + RequestTarget() + " HTTP/1.1\r\n";
    WriteIfSet("Accept", "*/*", out);
    WriteIfSet("Referer", DefaultReferer(), out);
    WriteIfSet("Accept-Language", "ko", out);
    WriteIfSet("User-Agent", "ZPeerClient", out);
    WriteIfSet("Range", "", out);
    WriteIfSet("Host", "", out);
    WriteIfSet("Connection", "Keep-Alive", out);
    for (Header& header : headers_) {
        if (header.written) {
            continue;
        }
        header.written = true;
        std::string value = header.value;
        if (header.name != "Cookie") {
            utCUriCodec::EncodeInPlace(&value);
        }
        *out += header.name + ": " + value + "\r\n";
    }
    *out += "\r\n";
}

std::unique_ptr<nwCHttpRequestHeaderBuilder> CreateHeaderBuilder(int kind) {
    if (kind == 1) {
        return std::make_unique<nwCHttpGETHeaderBuilder>();
    }
    return nullptr;
}
