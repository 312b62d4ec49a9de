#include "PictureTestSupport.h"
#include "SafeFiles.h"

#include <set>

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

    struct Row { const char* name; juce::File file; bool followLinks; juce::int64 maxBytes; bool read; };
    const Row rows[] = {
        { "regular", plain, false, 100, true },
        { "just fits", plain, false, 10, true },
        { "link, not followed", link, false, 100, false },
        { "link, followed", link, true, 100, true },
        { "FIFO", fifo, true, 100, false },
        { "folder", dir, true, 100, false },
        { "device", juce::File ("/dev/zero"), true, 100, false },
        { "empty", dir.getChildFile ("empty.bin"), true, 100, false },
        { "missing", dir.getChildFile ("missing.bin"), true, 100, false },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        juce::MemoryBlock data;
        const auto start = juce::Time::getMillisecondCounterHiRes();
        EXPECT_EQ (files::readRegularFile (row.file, row.maxBytes, row.followLinks, data), row.read);
        EXPECT_EQ (files::leadingBytesOfRegularFile (row.file, 4, row.followLinks).getSize() == 4, row.read);
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 1000.0) << "never waits";
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

// Hidden files were once named after the process and a count: links planted
// at such names must catch nothing, from a new instance's default picture or
// from a save.
TEST (SafeFiles, LinksPlantedAtAsideNamesCatchNothing)
{
    imagesFolder().createDirectory();
    const auto outside = freshFolder ("planted-targets");
    const auto pid = juce::String ((int) ::getpid());

    for (auto stem : { ".imageDegault.png.", ".planted.png.", ".imageDraw" })
        for (int count = 0; count < 300; ++count)
            outside.getChildFile ("t" + juce::String (count)).createSymbolicLink (
                imagesFolder().getChildFile (stem + pid + "-" + juce::String (count) + ".part"), true);

    const auto before = homeOutside (imagesFolder());
    const auto picture = writeBytes ("planted.png", encodePng (patternImage (40, 30)));

    auto p = makeProcessor();
    p->loadFile (picture.getFullPathName(), true);
    ASSERT_TRUE (adoptPending (*p));
    std::vector<juce::Point<float>> points { { 0.1f, 0.1f }, { 0.9f, 0.9f } };
    p->drawShape (points);
    saveState (*p);

    auto after = homeOutside (imagesFolder());
    after.erase ({ picture.getFullPathName(), picture.getSize() });
    EXPECT_EQ (after, before);
    EXPECT_TRUE (outside.findChildFiles (juce::File::findFiles, false).isEmpty()) << "nothing written through a link";
}
