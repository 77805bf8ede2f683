#include "json_check.h"

#include <cctype>

namespace {

class Checker {
  public:
    explicit Checker(std::string_view text) : text_(text) {}

    bool Object() {
        Space();
        if (!Eat('{')) {
            return false;
        }
        Space();
        if (Eat('}')) {
            return true;
        }
        do {
            Space();
            if (!String()) {
                return false;
            }
            Space();
            if (!Eat(':') || !Value()) {
                return false;
            }
            Space();
        } while (Eat(','));
        return Eat('}');
    }
    bool AtEnd() {
        Space();
        return pos_ == text_.size();
    }

  private:
    bool Value() {
        Space();
        if (pos_ >= text_.size()) {
            return false;
        }
        const char c = text_[pos_];
        if (c == '{') {
            return Object();
        }
        if (c == '[') {
            ++pos_;
            Space();
            if (Eat(']')) {
                return true;
            }
            do {
                if (!Value()) {
                    return false;
                }
                Space();
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '"') {
            return String();
        }
        if (Word("true") || Word("false") || Word("null")) {
            return true;
        }
        return Number();
    }
    bool String() {
        if (!Eat('"')) {
            return false;
        }
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (pos_ >= text_.size()) {
                    return false;
                }
                const char e = text_[pos_++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        if (pos_ >= text_.size() ||
                            !std::isxdigit(static_cast<unsigned char>(text_[pos_++]))) {
                            return false;
                        }
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool Number() {
        const size_t start = pos_;
        Eat('-');
        if (Eat('0')) {
        } else if (!Digits()) {
            return false;
        }
        if (Eat('.') && !Digits()) {
            return false;
        }
        if (Eat('e') || Eat('E')) {
            if (!Eat('+')) {
                Eat('-');
            }
            if (!Digits()) {
                return false;
            }
        }
        return pos_ > start;
    }
    bool Digits() {
        const size_t start = pos_;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
            ++pos_;
        }
        return pos_ > start;
    }
    bool Word(std::string_view word) {
        if (text_.substr(pos_, word.size()) == word) {
            pos_ += word.size();
            return true;
        }
        return false;
    }
    bool Eat(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void Space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

bool IsJsonObject(std::string_view text) {
    Checker checker(text);
    return checker.Object() && checker.AtEnd();
}
