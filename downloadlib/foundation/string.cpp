#include "foundation/string.h"

#include <cstring>
#include <new>

vmCString::vmCString(const char* text) {
    Assign(text);
}

vmCString::vmCString(char c) {
    const char text[2] = {c, '\0'};
    Assign(text);
}

vmCString::vmCString(const vmCString& other) {
    AssignBytes(other.GetBuffer(), other.length_);
}

vmCString::vmCString(vmCString&& other) noexcept
    : length_(other.length_), heap_(std::move(other.heap_)) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
    other.length_ = 0;
    other.inline_[0] = '\0';
}

vmCString& vmCString::operator=(const vmCString& other) {
    if (this != &other) {
        Assign(other);
    }
    return *this;
}

vmCString& vmCString::operator=(vmCString&& other) noexcept {
    if (this != &other) {
        length_ = other.length_;
        heap_ = std::move(other.heap_);
        std::memcpy(inline_, other.inline_, sizeof inline_);
        other.length_ = 0;
        other.inline_[0] = '\0';
    }
    return *this;
}

vmCString& vmCString::operator=(const char* text) {
    Assign(text);
    return *this;
}

void vmCString::Assign(const char* text) {
    AssignBytes(text, text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0);
}

void vmCString::Assign(const vmCString& other) {
    if (this != &other) {
        AssignBytes(other.GetBuffer(), other.length_);
    }
}

void vmCString::AssignBytes(const char* text, uint32_t n) {
    if (text == nullptr || text[0] == '\0' || n == 0) {
        Empty();
        return;
    }
    if (n > kInlineChars) {
        // A block that already held at least n characters is reused. The source may lie in this
        // string's own block, so it is copied before anything is freed.
        if (heap_ && length_ >= n) {
            std::memmove(heap_.get(), text, n);
            heap_[n] = '\0';
        } else {
            std::unique_ptr<char[]> block(new (std::nothrow) char[n + 1]);
            if (!block) {
                return;
            }
            std::memcpy(block.get(), text, n);
            block[n] = '\0';
            heap_ = std::move(block);
        }
        length_ = n;
        return;
    }
    char small[kInlineChars + 1];
    std::memcpy(small, text, n);
    heap_.reset();
    std::memcpy(inline_, small, n);
    inline_[n] = '\0';
    length_ = n;
}

void vmCString::Append(const char* text) {
    if (text != nullptr) {
        AppendBytes(text, static_cast<uint32_t>(std::strlen(text)));
    }
}

void vmCString::Append(const vmCString& other) {
    // Copy first: appending a string to itself reads the block that is being replaced.
    const vmCString copy(other);
    AppendBytes(copy.GetBuffer(), copy.length_);
}

void vmCString::AppendBytes(const char* text, uint32_t n) {
    if (text == nullptr || n == 0) {
        return;
    }
    const uint32_t newLength = length_ + n;
    if (newLength <= kInlineChars) {
        std::memcpy(inline_ + length_, text, n);
        inline_[newLength] = '\0';
        length_ = newLength;
        return;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[newLength + 1]);
    if (!block) {
        return;  // the string keeps its old text
    }
    std::memset(block.get(), 0, newLength + 1);
    std::memcpy(block.get(), GetBuffer(), length_);
    std::memcpy(block.get() + length_, text, n);
    heap_ = std::move(block);
    length_ = newLength;
}

void vmCString::Empty() {
    heap_.reset();
    length_ = 0;
    inline_[0] = '\0';
}

vmCString vmCString::Mid(uint32_t start, uint32_t count) const {
    vmCString result;
    if (count > 0x100000u || length_ < start) {
        return result;
    }
    if (count > length_ - start) {
        count = length_ - start;
    }
    result.AssignBytes(GetBuffer() + start, count);
    return result;
}

int vmCString::Find(const char* sub, uint32_t start) const {
    if (sub == nullptr || length_ < start) {
        return -1;
    }
    const char* base = GetBuffer();
    const char* match = std::strstr(base + start, sub);
    return match != nullptr ? static_cast<int>(match - base) : -1;
}

void vmCString::MakeLower() {
    char* p = GetBuffer();
    for (uint32_t i = 0; i < length_; ++i) {
        if (p[i] >= 'A' && p[i] <= 'Z') {
            p[i] = static_cast<char>(p[i] + 32);
        }
    }
}

int vmCString::Compare(const char* text) const {
    return std::strcmp(GetBuffer(), text != nullptr ? text : "");
}
