#pragma once

#include <string>
#include <string_view>
#include <utility>

// The seen file: the program's own memory across runs, a profile file it creates on its first
// write. It holds the notices already shown ([shown] <id>=1) and the preferences ([prefs]
// mute_nudges, last_nudge_day). Every use reads the file again, with these exceptions: how long
// the file has been unreadable; a preference that the file could not store (a folder at its
// path, a read-only or locked file, a full disk), which is kept for the rest of the run and read
// from here instead, until a later write of it reaches the file; and a preference asked for
// while another program holds the file, which is the value this run last knew.
class SeenFile {
  public:
    explicit SeenFile(std::wstring path) : path_(std::move(path)) {}

    // Creates the file, and the folders above it, when it does not exist yet. A new file holds
    // only the UTF-16LE byte-order mark, so the profile writer keeps writing UTF-16LE into it.
    void EnsureSeenFile() const;

    // False while the file exists but cannot be opened for reading: another process (a backup or
    // sync tool, for a moment) holds it without sharing. Read through such a lock every mark
    // would look missing. A missing seen file is no memory yet, and counts as readable.
    bool CanReadSeenFile() const;

    // True when a notice pass should wait because the file cannot be read now. A file that stays
    // locked must not hold notices back for good: after 30 passes in a row the pass goes on, and
    // the count starts again once the file can be read.
    bool ShouldPauseNoticePass();

    bool IsMarkedShown(const std::wstring& id) const;
    void MarkShown(const std::wstring& id) const;

    // [prefs] mute_nudges is exactly "1".
    bool IsNudgeMuted();
    void SetNudgesMuted(bool muted);

    // [prefs] last_nudge_day: the day a nudge was last shown, as TodayStamp gives it.
    std::wstring LastNudgeDay();
    void SetLastNudgeDay(const std::wstring& day);

  private:
    // The only write of the seen file; true when the profile writer reports the value stored.
    bool WriteSeenValue(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value) const;
    // A value of the seen file; the empty text for a missing file, section or key.
    std::wstring ReadSeenValue(const std::wstring& section, const std::wstring& key) const;

    // A preference as this run knows it: the value last read or written, and whether the file
    // failed to store it.
    struct Preference {
        std::wstring known;
        bool unstored = false;
    };
    std::wstring ReadPreference(Preference& preference, const wchar_t* key);
    void WritePreference(Preference& preference, const wchar_t* key, const std::wstring& value);

    std::wstring path_;
    Preference muteNudges_;
    Preference lastNudgeDay_;
    // The passes in a row that found the file present but unreadable.
    int unreadablePasses_ = 0;
};

// False for an id that cannot serve as a key of the seen file: its "shown" mark would be written
// but never read back, and the notice would be shown again at every pass.
bool IsStorableNoticeId(std::wstring_view id);
