#pragma once
// What every step of an update run comes to; RunUpdate goes on only on GoOn, and posts how
// the run ended (update/run.h): no step posts an ending itself.
#include <optional>
#include <utility>
#include <string>

#include "support/texts.h"

enum class StepOutcome {
    GoOn,
    Stopped,   // a stop was requested: the run ends in silence
    Failed,    // the run ends with the step's Ending
    Relaunch,  // the launcher's executable was replaced: the window is to restart it
};

// Whether a failed run leaves Play on. A refusal before the first download (the game runs,
// the disk is full) keeps it off even where the game exists: the player is to act first.
enum class PlayAfterFailure { WhereTheGameExists, Never };

// What a failed run shows. The text's "%s" take the arguments in order; DownloadInterrupted
// takes none and shows on a line below it what befell which file: detail with the first
// argument in its "%s", or the first argument alone. Words only when posted, in the run's language.
struct Ending {
    Text text = Text::ServerUnreachable;
    std::wstring arguments[2];
    PlayAfterFailure play = PlayAfterFailure::WhereTheGameExists;
    std::optional<Text> detail = std::nullopt;
};

// The text an ending shows, in language.
std::wstring EndingText(const Ending& ending, Language language);
// The line DownloadInterrupted shows below its text, in language.
std::wstring EndingDetail(const Ending& ending, Language language);

// A step's outcome with the ending it calls for; converts from a StepOutcome that needs none.
struct StepResult {
    StepOutcome outcome = StepOutcome::GoOn;
    std::optional<Ending> ending;  // every Failed a step answers carries one

    StepResult(StepOutcome plain) : outcome(plain) {}  // NOLINT: implicit, as steps answer
    StepResult(Ending failure) : outcome(StepOutcome::Failed), ending(std::move(failure)) {}  // NOLINT
    bool operator==(StepOutcome other) const { return outcome == other; }
};
