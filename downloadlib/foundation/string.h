// The library's byte string: texts of up to 3 characters live inline, longer ones in a heap
// block of exactly length + 1 bytes. Always NUL-terminated.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

class vmCString {
  public:
    vmCString() = default;
    vmCString(const char* text);  // NOLINT(google-explicit-constructor)
    explicit vmCString(char c);
    vmCString(const vmCString& other);
    vmCString(vmCString&& other) noexcept;
    vmCString& operator=(const vmCString& other);
    vmCString& operator=(vmCString&& other) noexcept;
    vmCString& operator=(const char* text);
    virtual ~vmCString() = default;

    void Assign(const char* text);
    void Assign(const vmCString& other);
    // Takes exactly n bytes of text (which may hold NULs only at its end).
    void AssignBytes(const char* text, uint32_t n);
    void Append(const char* text);
    void Append(const vmCString& other);
    void AppendBytes(const char* text, uint32_t n);

    const char* GetBuffer() const { return heap_ ? heap_.get() : inline_; }
    char* GetBuffer() { return heap_ ? heap_.get() : inline_; }
    uint32_t GetLength() const { return length_; }
    bool IsEmpty() const { return length_ == 0; }
    void Empty();

    // Bytes [start, start + count), clipped to the string; empty when start is past the end or
    // count is above 1 MiB.
    vmCString Mid(uint32_t start, uint32_t count) const;
    // Offset of the first match at or after start, or -1.
    int Find(const char* sub, uint32_t start = 0) const;
    int Find(const vmCString& sub, uint32_t start = 0) const {
        return Find(sub.GetBuffer(), start);
    }
    // Only 'A'..'Z' change; bytes of 128 and above stay.
    void MakeLower();
    int Compare(const char* text) const;
    int Compare(const vmCString& other) const { return Compare(other.GetBuffer()); }

    bool operator==(const char* text) const { return Compare(text) == 0; }
    bool operator==(const vmCString& other) const { return Compare(other) == 0; }
    std::string_view View() const { return {GetBuffer(), length_}; }
    bool HasHeapBlock() const { return heap_ != nullptr; }

  private:
    static constexpr uint32_t kInlineChars = 3;

    uint32_t length_ = 0;
    char inline_[kInlineChars + 1] = {};
    std::unique_ptr<char[]> heap_;
};
