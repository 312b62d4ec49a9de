#pragma once

#include <JuceHeader.h>

#include <memory>
#include <mutex>
#include <optional>

// The copies of the picture and of the pen layer that a save puts into the
// images folder. Every instance and every project on the machine shares that
// folder, and a project's versions (Save As, autosaves, backups, a duplicated
// track, a preset) are saved states that may all name the same copies. So a
// file that a save handed to the host is never changed or removed: a save
// whose picture or pen layer differs from every copy it may reuse writes a new
// file under a name no file has yet, and the saved state records, in the
// "savedCopies" attribute of its ImagePath child, which names this save's
// copies got. A restore prefers those files.
//
// Names: a picture copy takes the file name of its path, or a numbered one
// ("photo_2.png", ...) when a different picture has it. A pen layer takes the
// file name of its path when that is free, else a name derived from its
// content ("imageDraw…-<checksum>.png"), so the same layer is stored once.
//
// One object per processor; it is called from the host's state calls and
// from loadFile. It remembers per kind the copy it last wrote or read (name,
// file size, a checksum of the file's bytes and one of the decoded pixels),
// so that the usual save - nothing changed - reads one file and decodes
// nothing. Files are written aside and then linked into place, whole or not
// at all, and never outside the folder. Copies read back as exactly the
// pixels saved: a picture read from a file is copied as that file's bytes
// (a JPEG stays a JPEG), anything else is encoded so that it does.
class PictureCopies
{
public:
    enum class Kind { picture = 0, penLayer = 1 };

    // Reads and decodes `file`, the picture the processor will know by
    // `path` (a null image when it does not decode or is no regular file, or
    // is a link and `followLinks` is false). A regular file directly in
    // `folder` is remembered as the copy of `path`. With `fileBytes`, the
    // file's bytes are handed back there when it decoded (else null), for
    // its copy.
    juce::Image read (Kind kind, const juce::String& path, const juce::File& file, const juce::File& folder,
                      std::shared_ptr<const juce::MemoryBlock>* fileBytes = nullptr, bool followLinks = false);

    // Makes sure `folder` holds a copy of `image`, the picture the processor
    // knows by `path`, under the file name of `path` or a numbered one, and
    // returns the copy's file name; empty when there is none (no picture, no
    // name, a write that failed). A new copy holds `bytes` when given (the
    // file the picture was read from, or its PNG made ahead of the save),
    // else the picture's PNG, encoded here. When a copy was due but none
    // could be made, `whyNot` (if given) gets the reason in a user's words.
    juce::String save (Kind kind, const juce::Image& image, const juce::String& path, const juce::File& folder,
                       std::shared_ptr<const juce::MemoryBlock> bytes = nullptr, juce::String* whyNot = nullptr);

    // A picture file the plug-in itself writes again and again ("imageDegault.png"):
    // a copy may take that name only for exactly `onlyPicture`, which every
    // rewrite leaves there; any other picture gets a name of its own.
    void reserveName (const juce::String& name, const juce::Image& onlyPicture);

    // What a save records for a picture or pen layer that was due a copy and
    // got none: a name no file in the folder can have, so that a restore
    // takes the stored path itself and never a same-named file of the folder.
    static constexpr const char* noCopy = ".";

    // The attribute of the state's ImagePath child: the picture copy's file
    // name and the pen layer's, joined by "/", which no file name holds.
    static const juce::Identifier attribute;

    // Sets the attribute in the state's ImagePath child, each name only where
    // the path it is the copy of ("path", "pathDraw") is set; removes it when
    // that leaves both empty.
    static void recordInState (juce::ValueTree imagePath, const juce::String& pictureCopy,
                               const juce::String& layerCopy);

    // The name `imagePath` records as the copy of its "path" (picture) or
    // "pathDraw" (pen layer), when that property is set and the attribute is
    // well formed; else empty.
    static juce::String recordedName (const juce::ValueTree& imagePath, Kind kind);

    // The recorded copy in `folder`, when a regular file (no link) of that
    // name is there; else File().
    static juce::File recordedCopy (const juce::ValueTree& imagePath, Kind kind, const juce::File& folder);

    // Where a restore finds what `imagePath` names for `kind`, in a state
    // that records its copies: the recorded copy in `folder`, else in the
    // folder the save wrote it into (beside the stored path, when that is an
    // images folder: its name is `folder`'s), else the stored path itself,
    // unless the save found that file to hold something else (a file of an
    // images folder that is not the recorded copy). File() when none of
    // these is a regular file; nullopt for a state that records no copies
    // (a state of an earlier version, looked up by name instead).
    static std::optional<juce::File> locate (const juce::ValueTree& imagePath, Kind kind, const juce::File& folder);

    // True when `file` lies directly in `folder` or in a folder of the same
    // name (an images folder elsewhere): such files are read only as the
    // regular files they are, never through a link.
    static bool isInImagesFolder (const juce::File& file, const juce::File& folder);

    // The file `name` directly inside `folder`, or File() for a name that
    // would land elsewhere ("", ".", "..", a separator, a leading "~").
    static juce::File fileInFolder (const juce::File& folder, const juce::String& name);

    // `name` with its number: "photo.png", "photo_2.png", "photo_3.png", ...
    static juce::String numberedName (const juce::String& name, int number);

    // A checksum of the pixels as colours (so an RGB picture and its ARGB
    // decoding agree) and of the size.
    static juce::uint64 pixelChecksum (const juce::Image& image);

    // Names tried for one copy, and picture files decoded in one save to
    // compare them with the picture being saved; beyond these a name counts
    // as taken by something else.
    static constexpr int maxNumberedNames = 1000;
    static constexpr int maxComparisonsPerSave = 2;

private:
    struct Known
    {
        juce::String path;         // the processor's path this is the copy of
        juce::String name;         // file name in the folder; empty: none known
        juce::int64 size = 0;      // the file's length and byte checksum
        juce::uint64 bytes = 0;
        juce::uint64 pixels = 0;   // pixelChecksum of its picture
        juce::uint64 serial = 0;
    };

    Known lastKnown (Kind kind);
    void remember (Kind kind, Known k, const juce::uint64* onlyIfStill);
    bool mayTake (Kind kind, const juce::String& name, juce::uint64 pixels);

    std::mutex lock;
    Known known[2];
    juce::uint64 serials = 0;
    juce::String reservedName;
    juce::uint64 reservedPixels = 0;
};
