#include "transfer/progress.h"

#include <windows.h>

#include <algorithm>
#include <limits>

#include "status/status.h"
#include "support/text.h"
#include "support/texts.h"

namespace {

constexpr std::uint64_t kReportInterval = 200;

}  // namespace

std::uint64_t SystemTicks() { return GetTickCount64(); }

ProgressTracker::ProgressTracker(Language textLanguage, TickSource clockSource)
    : started(clockSource()), clock(clockSource), language(textLanguage) {}

void ProgressTracker::Add(std::uint64_t count) {
    done += count;
    const std::uint64_t now = clock();
    if (now - lastReport < kReportInterval && done < total) return;
    lastReport = now;

    double elapsed = static_cast<double>(now - started) / 1000.0;
    if (elapsed < 0.001) elapsed = 0.001;
    const double rate = static_cast<double>(done) / elapsed;
    // The bar's range is 0 to 1000; only a per mille beyond any int would change sign.
    const std::uint64_t perMille =
        std::min<std::uint64_t>(ProgressPerMille(done, total), std::numeric_limits<std::int32_t>::max());
    PostStatus(label, ProgressDetail(done, total, rate, language), static_cast<std::int32_t>(perMille), UiMode::Busy);
}

std::wstring ProgressDetail(std::uint64_t done, std::uint64_t total, double bytesPerSecond, Language language) {
    std::uint64_t secondsLeft = 0;
    if (bytesPerSecond > 0)
        secondsLeft = static_cast<std::uint64_t>(static_cast<double>(total - std::min(done, total)) / bytesPerSecond);
    const std::wstring doneText = FormatMegabytes(done);
    const std::wstring totalText = FormatMegabytes(total);
    return FormatText(L"%s / %s   %.1f MB/s   %s %llu:%02llu", doneText.c_str(), totalText.c_str(),
                      bytesPerSecond / 1048576.0, TextIn(Text::TimeLeft, language),
                      static_cast<unsigned long long>(secondsLeft / 60),
                      static_cast<unsigned long long>(secondsLeft % 60));
}

std::uint64_t ProgressPerMille(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 1000 : done * 1000 / total;
}
