#include "support/texts.h"

#include <iterator>

namespace {

struct TextRow {
    Text name;
    const wchar_t* english;
    const wchar_t* turkish;
};

// In the order of the enum: TextIn indexes it by name. tests/torture.py reads these rows.
constexpr TextRow kTexts[] = {
    {Text::Connecting, L"Connecting to the server...", L"Sunucuya bağlanılıyor..."},
    {Text::ServerUnreachable, L"Could not reach the server. Check your internet connection.",
     L"Sunucuya bağlanılamadı. İnternet bağlantınızı denetleyin."},
    {Text::ListUnreadable, L"Could not read the file list from the server.", L"Sunucudaki dosya listesi okunamadı."},
    {Text::CheckingFiles, L"Checking game files...", L"Oyun dosyaları denetleniyor..."},
    {Text::GameRunning, L"An update is available but the game is running. Close it and retry.",
     L"Güncelleme var ama oyun açık. Oyunu kapatıp tekrar deneyin."},
    {Text::NotEnoughSpace, L"Not enough free space: %s needed, %s free.", L"Yeterli boş alan yok: %s gerekiyor, %s boş."},
    {Text::DownloadingGame, L"Downloading the game", L"Oyun indiriliyor"},
    {Text::DownloadingUpdate, L"Downloading the update", L"Güncelleme indiriliyor"},
    {Text::DownloadInterrupted, L"The download was interrupted. Retry to continue where it left off.",
     L"İndirme yarıda kaldı. Kaldığı yerden sürdürmek için tekrar deneyin."},
    {Text::ConnectionLost, L"Connection lost: %s", L"Bağlantı kesildi: %s"},
    {Text::Corrupted, L"File arrived corrupted, retry: %s", L"Dosya bozuk indi, tekrar deneyin: %s"},
    {Text::NotWritten, L"Could not write: %s", L"Dosya yazılamadı: %s"},
    {Text::ReplaceFailed, L"Could not replace a file (is the game running?): %s",
     L"Dosya yerine konamadı (oyun açık olabilir): %s"},
    {Text::LauncherNotUpdated, L"Could not update the launcher.", L"Launcher güncellenemedi."},
    {Text::LauncherUpdated, L"The launcher was updated; open it again.", L"Launcher güncellendi; yeniden açın."},
    {Text::UpToDate, L"The game is up to date.", L"Oyun güncel."},
    {Text::Version, L"Version %s", L"Sürüm %s"},
    {Text::TimeLeft, L"left", L"kalan"},
    {Text::Settings, L"Settings", L"Ayarlar"},
    {Text::Retry, L"Retry", L"Tekrar dene"},
    {Text::Play, L"Play", L"Oyna"},
};

constexpr bool InEnumOrder() {
    for (std::size_t i = 0; i < std::size(kTexts); ++i)
        if (static_cast<std::size_t>(kTexts[i].name) != i) return false;
    return static_cast<std::size_t>(Text::Play) + 1 == std::size(kTexts);
}
static_assert(InEnumOrder(), "one row per name, in the enum's order");

}  // namespace

const wchar_t* TextIn(Text name, Language language) {
    const TextRow& row = kTexts[static_cast<std::size_t>(name)];
    return language == Language::Turkish ? row.turkish : row.english;
}
