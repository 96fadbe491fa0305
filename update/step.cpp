#include "update/step.h"

#include "support/text.h"

std::wstring EndingText(const Ending& ending, Language language) {
    const wchar_t* text = TextIn(ending.text, language);
    if (ending.text == Text::DownloadInterrupted) return text + (L"\n" + EndingDetail(ending, language));
    return FormatText(text, ending.arguments[0].c_str(), ending.arguments[1].c_str());
}

std::wstring EndingDetail(const Ending& ending, Language language) {
    const std::wstring& argument = ending.arguments[0];
    return ending.detail ? FormatText(TextIn(*ending.detail, language), argument.c_str()) : argument;
}
