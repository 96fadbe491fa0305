// The launcher's own answer to "which file does this name reach" for the fault campaign
// (tests/torture.py): one relative path a line on stdin, as the hex digits of its UTF-8, and
// one line back, the hex digits of FileKey's answer for it under a fixed folder, that folder
// left out. Two paths reach one file exactly when their answers are equal. Hex keeps a name
// with a line break or a NUL in one line. Runs until stdin ends.
#include <cstdio>
#include <iostream>
#include <string>

#include "support/files.h"
#include "support/text.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

}  // namespace

int main() {
    const std::wstring folder = L"C:\\keys\\";
    const std::wstring folderKey = FileKey(folder);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::wstring key = FileKey(folder + FromUtf8(FromHex(line)));
        if (key.starts_with(folderKey)) key.erase(0, folderKey.size());
        std::fputs((ToHex(ToUtf8(key)) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
