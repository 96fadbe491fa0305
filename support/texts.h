#pragma once
// Every text the player sees, in English and Turkish, looked up by name. The table is
// support/texts.cpp: a translator edits that file alone.
enum class Text {
    Connecting,
    ServerUnreachable,
    ListUnreadable,
    CheckingFiles,
    GameRunning,
    NotEnoughSpace,     // %s needed, %s free
    DownloadingGame,
    DownloadingUpdate,
    DownloadInterrupted,
    ConnectionLost,     // %s: the manifest path
    Corrupted,          // %s: the manifest path
    NotWritten,         // %s: the local path
    ReplaceFailed,      // %s: the manifest path
    LauncherNotUpdated,
    LauncherUpdated,
    UpToDate,
    Version,            // %s: the manifest's version
    TimeLeft,
    Settings,
    Retry,
    Play,
};

enum class Language { English, Turkish };

const wchar_t* TextIn(Text name, Language language);
