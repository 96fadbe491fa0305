#include "update/step.h"

#include "support/text.h"

std::wstring EndingText(const Ending& ending, Language language) {
    const wchar_t* text = TextIn(ending.text, language);
    if (ending.text == Text::DownloadInterrupted) {
        const std::wstring& argument = ending.arguments[0];
        if (!ending.detail) return text + (L"\n" + argument);
        return text + (L"\n" + FormatText(TextIn(*ending.detail, language), argument.c_str()));
    }
    return FormatText(text, ending.arguments[0].c_str(), ending.arguments[1].c_str());
}
