// Request builders: the one place that writes the bytes of an HTTP/1.1 request head.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class nwCHttpRequestHeaderBuilder {
  public:
    virtual ~nwCHttpRequestHeaderBuilder() = default;

    // A name beginning with "GET" or "POST" sets the request line: the value is the path, and
    // a query after its first '?' becomes parameters.
    void SetHeader(const std::string& name, const std::string& value);
    // Replaces the value of a parameter of the same name (ASCII case ignored) or appends one.
    void SetParam(const std::string& name, const std::string& value);
    void SetContentLength(int64_t size) { contentLength_ = size; }

    virtual void BuildHeader(std::string* out) = 0;
    virtual void BuildTrailer(std::string* out) = 0;

  protected:
    struct Header {
        std::string name;
        std::string value;
        bool written = false;
    };
    struct Param {
        std::string name;
        std::string value;
    };

    Header* FindHeader(const std::string& name);
    // "Name: value" CR LF, from the caller's entry when there is one, else the default; no line
    // when the value ends up empty.
    void WriteIfSet(const char* name, const std::string& fallback, std::string* out);
    std::string RequestTarget();

    std::vector<Header> headers_;
    std::vector<Param> params_;
    int64_t contentLength_ = 0;
};

class nwCHttpGETHeaderBuilder : public nwCHttpRequestHeaderBuilder {
  public:
    void BuildHeader(std::string* out) override;
    void BuildTrailer(std::string*) override {}
};

// Kind 1 is a GET builder; the client asks for no other kind.
std::unique_ptr<nwCHttpRequestHeaderBuilder> CreateHeaderBuilder(int kind);

// The Referer sent when the caller sets none: the download server's site address.
std::string DefaultReferer();
