// Splits a text at one separator byte; runs of separators produce no empty tokens.
#pragma once

#include <string>
#include <vector>

class vmCStringTokenizer {
  public:
    void Split(const char* text, char separator);
    int GetCount() const { return static_cast<int>(tokens_.size()); }
    bool HasMore() const { return cursor_ < GetCount(); }
    // The token at the cursor, then the cursor moves on; null past the end.
    const char* Next();
    void Clear();

  private:
    std::vector<std::string> tokens_;
    int cursor_ = 0;
};
