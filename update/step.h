#pragma once
// What every step of an update run comes to; RunUpdate goes on only on GoOn.
enum class StepOutcome {
    GoOn,
    Stopped,   // a stop was requested: the run ends in silence
    Failed,    // the ending has been posted
    Relaunch,  // the launcher's executable was replaced and the window told to restart it
};
