#include "FileSyncs.h"
#include "PictureTestSupport.h"
#include "PictureCopies.h"
#include "SafeFiles.h"

#include <algorithm>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune::test;
namespace files = kestrune::files;

namespace
{
    std::set<std::pair<juce::String, juce::int64>> homeOutside (const juce::File& except)
    {
        return filesUnder (juce::File::getSpecialLocation (juce::File::userHomeDirectory), except);
    }
}

// What is read: only regular files, judged on the open handle, never
// blocking, and links only where asked.
TEST (SafeFiles, OnlyRegularFilesAreRead)
{
    const auto dir = freshFolder ("read");
    const auto plain = dir.getChildFile ("plain.bin");
    plain.replaceWithText ("0123456789");
    const auto link = dir.getChildFile ("link.bin");
    ASSERT_TRUE (plain.createSymbolicLink (link, true));
    const auto fifo = dir.getChildFile ("fifo.bin");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    dir.getChildFile ("empty.bin").create();

    struct Row { const char* name; juce::File file; bool followLinks; juce::int64 maxBytes; bool read, regular; };
    const Row rows[] = {
        { "regular", plain, false, 100, true, true },
        { "just fits", plain, false, 10, true, true },
        { "link, not followed", link, false, 100, false, false },
        { "link, followed", link, true, 100, true, true },
        { "FIFO", fifo, true, 100, false, false },
        { "folder", dir, true, 100, false, false },
        { "device", juce::File ("/dev/zero"), true, 100, false, false },
        { "empty", dir.getChildFile ("empty.bin"), true, 100, false, true },
        { "missing", dir.getChildFile ("missing.bin"), true, 100, false, false },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        juce::MemoryBlock data;
        const auto start = juce::Time::getMillisecondCounterHiRes();
        EXPECT_EQ (files::readRegularFile (row.file, row.maxBytes, row.followLinks, data), row.read);
        EXPECT_EQ (files::leadingBytesOfRegularFile (row.file, 4, row.followLinks).getSize() == 4, row.read);
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 1000.0) << "never waits";
        EXPECT_EQ (files::isRegularFile (row.file, row.followLinks), row.regular);
        if (row.read)
        {
            EXPECT_EQ (data.toString(), "0123456789");
        }
    }
}

// A file written aside never goes through something planted at its name, and
// its final name is taken only when nothing has it.
TEST (SafeFiles, AsideFilesNeverWriteThroughLinks)
{
    const auto dir = freshFolder ("aside");
    const auto outside = freshFolder ("aside-outside");
    const auto target = outside.getChildFile ("target.bin");
    target.replaceWithText ("keep me");
    const auto before = homeOutside (dir);

    // An aside file never given a name is removed.
    {
        files::AsideFile aside;
        ASSERT_TRUE (aside.write (dir, "photo.png", "abc", 3));
    }
    EXPECT_TRUE (dir.findChildFiles (juce::File::findFiles, false, "*.part").isEmpty());

    // A name held by a link (even one to nothing) is taken; replacing one
    // replaces the link itself.
    const auto linked = dir.getChildFile ("linked.bin");
    ASSERT_TRUE (target.createSymbolicLink (linked, true));
    const auto dangling = dir.getChildFile ("dangling.bin");
    ASSERT_TRUE (outside.getChildFile ("nothing.bin").createSymbolicLink (dangling, true));

    files::AsideFile a, b, c;
    ASSERT_TRUE (a.write (dir, "x", "new", 3) && b.write (dir, "x", "new", 3) && c.write (dir, "x", "new", 3));
    EXPECT_EQ (a.createAs (linked), files::AsideFile::Commit::taken);
    EXPECT_EQ (a.createAs (dangling), files::AsideFile::Commit::taken);
    EXPECT_EQ (a.createAs (dir.getChildFile ("fresh.bin")), files::AsideFile::Commit::done);
    EXPECT_EQ (dir.getChildFile ("fresh.bin").loadFileAsString(), "new");
    EXPECT_EQ (b.createAs (dir.getChildFile ("fresh.bin")), files::AsideFile::Commit::taken);
    EXPECT_TRUE (c.replace (linked));
    EXPECT_FALSE (linked.isSymbolicLink());
    EXPECT_EQ (linked.loadFileAsString(), "new");

    EXPECT_EQ (target.loadFileAsString(), "keep me");
    EXPECT_FALSE (outside.getChildFile ("nothing.bin").exists());
    EXPECT_EQ (homeOutside (dir), before);
}

// The names a copy takes in the images folder: the picture's own and its
// numbered ones, the pen layer's own and the ones its content gives, and the
// default picture's. Links planted at any of them (leading nowhere, so that a
// write through one would make a file outside) catch nothing.
TEST (SafeFiles, LinksPlantedAtTheNamesACopyTakesCatchNothing)
{
    imagesFolder().createDirectory();
    const auto outside = freshFolder ("planted-targets");
    int planted = 0;
    auto plant = [&] (const juce::String& name)
    {
        const auto at = imagesFolder().getChildFile (name);
        at.deleteFile();
        ASSERT_TRUE (outside.getChildFile ("t" + juce::String (planted++)).createSymbolicLink (at, true)) << name;
    };
    auto numbered = [] (const juce::String& name, int from, int to)
    {
        juce::StringArray names;
        for (int k = from; k <= to; ++k)
            names.add (PictureCopies::numberedName (name, k));
        return names;
    };

    plant ("imageDegault.png");
    const auto picture = writeBytes ("planted.png", encodePng (patternImage (40, 30)));
    auto p = makeProcessor();
    p->loadFile (picture.getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));
    std::vector<juce::Point<float>> points { { 0.1f, 0.1f }, { 0.9f, 0.9f } };
    p->drawShape (points);

    for (const auto& name : numbered ("planted.png", 1, 5))
        plant (name);
    plant (juce::File (p->drawImagePath).getFileName());
    const auto before = homeOutside (imagesFolder());

    // The first save finds the layer's own name taken and names it by its
    // content; with that name and its numbered ones taken too, the next save
    // goes further along.
    const auto first = savedImagePath (saveState (*p));
    const auto layerCopy = PictureCopies::recordedName (first, PictureCopies::Kind::penLayer);
    EXPECT_EQ (PictureCopies::recordedName (first, PictureCopies::Kind::picture), "planted_6.png");
    ASSERT_TRUE (layerCopy.startsWith (juce::File (p->drawImagePath).getFileNameWithoutExtension() + "-")) << layerCopy;
    EXPECT_TRUE (imagesFolder().getChildFile (layerCopy).deleteFile() && imagesFolder().getChildFile ("planted_6.png").deleteFile());
    for (const auto& name : numbered (layerCopy, 1, 4))
        plant (name);
    plant ("planted_6.png");

    const auto second = savedImagePath (saveState (*p));
    EXPECT_EQ (PictureCopies::recordedName (second, PictureCopies::Kind::picture), "planted_7.png");
    EXPECT_EQ (PictureCopies::recordedName (second, PictureCopies::Kind::penLayer), PictureCopies::numberedName (layerCopy, 5));

    EXPECT_EQ (homeOutside (imagesFolder()), before);
    EXPECT_TRUE (outside.findChildFiles (juce::File::findFiles, false).isEmpty()) << "nothing written through a link";
    EXPECT_FALSE (imagesFolder().getChildFile ("imageDegault.png").isSymbolicLink()) << "the default picture replaces a link";
}

// A crash between an aside file's writing and its naming leaves it behind; a
// later start removes it once it is old, and nothing else.
TEST (SafeFiles, OnlyOldAsideFilesOfOurOwnAreRemoved)
{
    const auto dir = freshFolder ("stale");
    const auto outside = freshFolder ("stale-outside");
    const auto ownName = [&]
    {
        files::AsideFile aside;
        EXPECT_TRUE (aside.write (outside, "photo.png", "x", 1));
        return aside.file().getFileName();
    }();
    const auto tag = ownName.fromLastOccurrenceOf (".kestrune-aside.", false, false).upToFirstOccurrenceOf (".", false, false);
    ASSERT_EQ (tag.length(), 32) << ownName;

    const auto now = juce::Time::getCurrentTime();
    const auto dayAgo = now - juce::RelativeTime::days (2), minuteAgo = now - juce::RelativeTime::minutes (1);
    enum class Kind { file, folder, link };

    struct Row { const char* what; juce::String name; juce::Time modified; Kind kind; bool removed; };
    const Row rows[] = {
        { "ours, left by a crash", ownName, dayAgo, Kind::file, true },
        { "ours, being written now", ownName.replace (tag, juce::String::repeatedString ("0", 32)), minuteAgo, Kind::file, false },
        { "ours, dated ahead", ownName.replace (tag, juce::String::repeatedString ("1", 32)), now + juce::RelativeTime::days (2), Kind::file, false },
        { "a user's hidden file", ".photo.png.part", dayAgo, Kind::file, false },
        { "without the marker", ".photo.png." + tag + ".part", dayAgo, Kind::file, false },
        { "not hidden", ownName.substring (1), dayAgo, Kind::file, false },
        { "other bits", ownName.replace (tag, "G" + tag.substring (1)), dayAgo, Kind::file, false },
        { "a folder", ownName.replace (tag, juce::String::repeatedString ("2", 32)), dayAgo, Kind::folder, false },
        { "a link", ownName.replace (tag, juce::String::repeatedString ("3", 32)), dayAgo, Kind::link, false },
    };

    const auto linkTarget = outside.getChildFile ("old.bin");
    linkTarget.replaceWithText ("keep");
    linkTarget.setLastModificationTime (dayAgo);

    for (const auto& row : rows)
    {
        const auto file = dir.getChildFile (row.name);
        ASSERT_TRUE (row.kind == Kind::folder ? file.createDirectory().wasOk()
                     : row.kind == Kind::link ? linkTarget.createSymbolicLink (file, true)
                                              : file.replaceWithText ("aside")) << row.what;
        const struct timespec times[2] { { (time_t) row.modified.toMilliseconds() / 1000, 0 }, { (time_t) row.modified.toMilliseconds() / 1000, 0 } };
        ASSERT_EQ (::utimensat (AT_FDCWD, file.getFullPathName().toRawUTF8(), times, AT_SYMLINK_NOFOLLOW), 0) << row.what;
    }

    EXPECT_EQ (files::removeStaleAsideFiles (dir), 1);

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        const auto file = dir.getChildFile (row.name);
        EXPECT_EQ (! file.exists() && ! file.isSymbolicLink(), row.removed);
    }
    EXPECT_EQ (linkTarget.loadFileAsString(), "keep");

    // The first instance to use an images folder removes those of it (this
    // one's Documents folder is new, so no instance has used it yet).
    const auto documents = freshFolder ("stale-documents");
    const auto settings = juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".config/user-dirs.dirs");
    ASSERT_TRUE (settings.getParentDirectory().createDirectory().wasOk() && ! settings.exists());
    settings.replaceWithText ("XDG_DOCUMENTS_DIR=\"" + documents.getFullPathName() + "\"\n");
    const auto stale = documents.getChildFile ("KestruneImages").getChildFile (ownName);
    stale.getParentDirectory().createDirectory();
    stale.replaceWithText ("aside");
    stale.setLastModificationTime (dayAgo);
    makeProcessor();
    settings.deleteFile();
    EXPECT_FALSE (stale.exists());
}

// Each file a save or a new instance gives a name is on the disk before the
// name points at it (so a power loss never leaves a saved state naming an
// empty file), and the folder's new entry before the call returns.
TEST (SafeFiles, NamedFilesAreOnTheDiskBeforeTheCallReturns)
{
    namespace syncs = kestrune::test::syncs;
    if (! syncs::recorded())
        GTEST_SKIP() << "fsync is the sanitizer's here";

    imagesFolder().createDirectory();
    imagesFolder().getChildFile ("imageDegault.png").deleteFile(); // so the new instance writes it
    const auto picture = writeBytes ("lasting.png", encodePng (patternImage (40, 30)));
    std::vector<syncs::Sync> construction, calls;
    juce::MemoryBlock blob;
    {
        const syncs::Recorder recorder;
        auto p = makeProcessor();
        construction = recorder.syncs();
        p->loadFile (picture.getFullPathName(), true);
        ASSERT_TRUE (adoptPending (*p));
        std::vector<juce::Point<float>> points { { 0.1f, 0.1f }, { 0.9f, 0.9f } };
        p->drawShape (points);
        blob = saveState (*p);
        calls = recorder.syncs();
    }

    struct stat folder {};
    ASSERT_EQ (::stat (imagesFolder().getFullPathName().toRawUTF8(), &folder), 0);
    const auto paths = savedImagePath (blob);

    // What the call that named each file synced, in order.
    const std::vector<syncs::Sync> saving (calls.begin() + (std::ptrdiff_t) construction.size(), calls.end());

    struct Row { const char* what; juce::File file; const std::vector<syncs::Sync>& calls; };
    const Row rows[] = {
        { "the default picture", imagesFolder().getChildFile ("imageDegault.png"), construction },
        { "a picture copy", PictureCopies::recordedCopy (paths, PictureCopies::Kind::picture, imagesFolder()), saving },
        { "a pen layer copy", PictureCopies::recordedCopy (paths, PictureCopies::Kind::penLayer, imagesFolder()), saving },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        struct stat info {};
        ASSERT_EQ (::stat (row.file.getFullPathName().toRawUTF8(), &info), 0);

        auto data = std::find_if (row.calls.begin(), row.calls.end(), [&] (const syncs::Sync& s)
                                  { return s.device == info.st_dev && s.inode == info.st_ino; });
        ASSERT_NE (data, row.calls.end()) << "its data was never synced";
        EXPECT_EQ (data->links, 1u);
        EXPECT_NE (data->path.find (".kestrune-aside."), std::string::npos) << data->path << ": synced only once named";
        EXPECT_NE (std::find_if (data, row.calls.end(), [&] (const syncs::Sync& s)
                                 { return s.folder && s.device == folder.st_dev && s.inode == folder.st_ino; }), row.calls.end())
            << "the folder's entry was never synced after it";
    }
}
