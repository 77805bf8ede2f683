#include "foundation/tokenizer.h"

void vmCStringTokenizer::Split(const char* text, char separator) {
    Clear();
    if (text == nullptr) {
        return;
    }
    const char* runStart = nullptr;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p == separator) {
            if (runStart != nullptr) {
                tokens_.emplace_back(runStart, p);
                runStart = nullptr;
            }
        } else if (runStart == nullptr) {
            runStart = p;
        }
    }
    if (runStart != nullptr) {
        tokens_.emplace_back(runStart, p);
    }
}

const char* vmCStringTokenizer::Next() {
    if (!HasMore()) {
        return nullptr;
    }
    return tokens_[cursor_++].c_str();
}

void vmCStringTokenizer::Clear() {
    tokens_.clear();
    cursor_ = 0;
}
