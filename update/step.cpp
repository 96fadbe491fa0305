#include "update/step.h"

#include "support/text.h"

std::wstring EndingText(const Ending& ending) {
    const wchar_t* text = UserText(ending.text);
    if (ending.text == Text::DownloadInterrupted) return text + (L"\n" + ending.arguments[0]);
    return FormatText(text, ending.arguments[0].c_str(), ending.arguments[1].c_str());
}
