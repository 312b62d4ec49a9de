#include "PictureTestSupport.h"
#include "PictureCopies.h"
#include "PictureFiles.h"
#include "StorablePixels.h"
#include "TypicalStroke.h"

#include <atomic>
#include <functional>
#include <set>
#include <thread>

using namespace kestrune::test;
using Kind = PictureCopies::Kind;

namespace
{
    juce::Image picture (int w, int h, int seed)
    {
        juce::Image image (juce::Image::RGB, w, h, false);
        juce::Random rng (seed);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixelAt (x, y, juce::Colour ((juce::uint32) rng.nextInt()).withAlpha ((juce::uint8) 255));
        return image;
    }


    juce::Image decoded (const juce::MemoryBlock& bytes)
    {
        return kestrune::pictures::decodePicture (bytes.getData(), bytes.getSize());
    }

    // True when `file` decodes to `image` as it comes back through PNG (which
    // stores colours unpremultiplied, so a faint layer edge comes back rounded).
    bool holdsPicture (const juce::File& file, const juce::Image& image)
    {
        const auto inFile = decoded (contentOf (file));
        return inFile.isValid() && PictureCopies::pixelChecksum (inFile) == PictureCopies::pixelChecksum (decoded (encodePng (image)));
    }

    juce::StringArray fileNames (const juce::File& dir)
    {
        juce::StringArray names;
        for (const auto& f : dir.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no))
            names.add (f.getFileName());
        names.sort (false);
        return names;
    }

    juce::ValueTree imagePath (const juce::String& path, const juce::String& pathDraw, const juce::var& copies)
    {
        juce::ValueTree tree ("ImagePath");
        tree.setProperty ("path", path, nullptr);
        tree.setProperty ("pathDraw", pathDraw, nullptr);
        if (! copies.isVoid())
            tree.setProperty (PictureCopies::attribute, copies, nullptr);
        return tree;
    }
}

//==============================================================================
TEST (PictureCopies, NamesAndChecksums)
{
    const auto folder = freshFolder ("names");

    EXPECT_EQ (PictureCopies::numberedName ("photo.png", 1), "photo.png");
    EXPECT_EQ (PictureCopies::numberedName ("photo.png", 2), "photo_2.png");
    EXPECT_EQ (PictureCopies::numberedName ("a.b.jpg", 3), "a.b_3.jpg");
    EXPECT_EQ (PictureCopies::numberedName ("plain", 2), "plain_2");
    EXPECT_EQ (PictureCopies::numberedName (".hidden", 2), ".hidden_2");

    // Only names that stay directly inside the folder.
    for (auto name : { "", ".", "..", "a/b", "../x.png" })
        EXPECT_EQ (PictureCopies::fileInFolder (folder, name), juce::File()) << name;

    for (auto name : { "~", "~root", "~x.png", "..x.png", ".hidden", "back\\slash.png", "sp ace.png" })
        EXPECT_EQ (PictureCopies::fileInFolder (folder, name).getParentDirectory(), folder) << name;

    EXPECT_EQ (PictureCopies::fileInFolder (juce::File(), "x.png"), juce::File());

    // Pixels compare as colours: an RGB picture and its ARGB copy agree; one
    // pixel, or the same pixels in another shape, do not.
    const auto rgb = picture (31, 7, 1);
    const auto argb = rgb.convertedToFormat (juce::Image::ARGB);
    EXPECT_EQ (PictureCopies::pixelChecksum (rgb), PictureCopies::pixelChecksum (argb));

    auto changed = rgb.createCopy();
    const auto c = changed.getPixelAt (30, 6);
    changed.setPixelAt (30, 6, juce::Colour ((juce::uint8) (c.getRed() ^ 1), c.getGreen(), c.getBlue()));
    EXPECT_NE (PictureCopies::pixelChecksum (changed), PictureCopies::pixelChecksum (rgb));

    const auto wide = solidImage (4, 1, juce::Colours::red), tall = solidImage (1, 4, juce::Colours::red);
    EXPECT_NE (PictureCopies::pixelChecksum (wide), PictureCopies::pixelChecksum (tall));
}

TEST (PictureCopies, AttributeIsReadOnlyWhenWellFormedAndTheCopyIsThere)
{
    const auto folder = freshFolder ("attribute");
    folder.getChildFile ("photo_2.png").replaceWithText ("x");
    folder.getChildFile ("layer_2.png").replaceWithText ("x");

    juce::ValueTree tree ("ImagePath");
    tree.setProperty ("path", "/one/photo.png", nullptr);
    tree.setProperty ("pathDraw", "/any/layer.png", nullptr);
    PictureCopies::recordInState (tree, "photo_2.png", "layer_2.png");
    EXPECT_EQ (tree.getProperty (PictureCopies::attribute).toString(), "photo_2.png/layer_2.png");
    EXPECT_EQ (tree.getPropertyName (2), PictureCopies::attribute) << "after path and pathDraw";

    EXPECT_EQ (PictureCopies::recordedCopy (tree, Kind::picture, folder), folder.getChildFile ("photo_2.png"));
    EXPECT_EQ (PictureCopies::recordedCopy (tree, Kind::penLayer, folder), folder.getChildFile ("layer_2.png"));

    // A name only beside a path; none at all removes the attribute.
    PictureCopies::recordInState (tree, {}, {});
    EXPECT_FALSE (tree.hasProperty (PictureCopies::attribute));
    tree.setProperty ("pathDraw", "", nullptr);
    PictureCopies::recordInState (tree, "photo_2.png", "layer_2.png");
    EXPECT_EQ (tree.getProperty (PictureCopies::attribute).toString(), "photo_2.png/");

    // Ignored: a missing copy, a path that is not set, a malformed value, and
    // any name that would leave the folder.
    const auto picturePart = [&] (const juce::var& copies, const juce::String& path = "/one/photo.png")
    {
        return PictureCopies::recordedCopy (imagePath (path, "/l.png", copies), Kind::picture, folder);
    };
    EXPECT_EQ (picturePart ("gone.png/"), juce::File());
    EXPECT_EQ (picturePart ("photo_2.png/", ""), juce::File());
    EXPECT_EQ (picturePart ("photo_2.png"), juce::File());
    EXPECT_EQ (picturePart ("photo_2.png/layer_2.png/x"), juce::File());
    EXPECT_EQ (picturePart (42), juce::File());
    EXPECT_EQ (picturePart ("../copies/attribute/photo_2.png/"), juce::File());
    EXPECT_EQ (picturePart ("../"), juce::File());
    EXPECT_EQ (picturePart ("./"), juce::File());
    EXPECT_EQ (picturePart (juce::var()), juce::File());
    EXPECT_EQ (picturePart ("photo_2.png/"), folder.getChildFile ("photo_2.png"));

    folder.getChildFile ("sub").createDirectory();
    EXPECT_EQ (picturePart ("sub/"), juce::File()) << "a folder is no copy";
}

TEST (PictureCopies, APictureCopyIsNeverReplacedByAnotherPicture)
{
    const auto folder = freshFolder ("picture");
    const auto first = picture (40, 30, 1), second = picture (40, 30, 2), third = picture (41, 30, 3);

    PictureCopies a, b;
    EXPECT_EQ (a.save (Kind::picture, first, "/one/photo.png", folder), "photo.png");
    EXPECT_EQ (b.save (Kind::picture, second, "/two/photo.png", folder), "photo_2.png");
    EXPECT_EQ (b.save (Kind::picture, third, "/three/photo.png", folder), "photo_3.png");

    // The same object with another picture under the same path: still beside.
    EXPECT_EQ (a.save (Kind::picture, second, "/one/photo.png", folder), "photo_2.png") << "the copy that holds it";
    EXPECT_EQ (a.save (Kind::picture, picture (40, 30, 4), "/one/photo.png", folder), "photo_4.png");

    EXPECT_TRUE (holdsPicture (folder.getChildFile ("photo.png"), first));
    EXPECT_TRUE (holdsPicture (folder.getChildFile ("photo_2.png"), second));
    EXPECT_TRUE (holdsPicture (folder.getChildFile ("photo_3.png"), third));

    // A picture saved again where its copy already is writes nothing.
    const auto copy = folder.getChildFile ("photo.png");
    const auto old = juce::Time (2001, 0, 1, 0, 0);
    copy.setLastModificationTime (old);
    PictureCopies c;
    EXPECT_EQ (c.save (Kind::picture, first, "/elsewhere/photo.png", folder), "photo.png");
    EXPECT_EQ (copy.getLastModificationTime(), old);
    EXPECT_EQ (fileNames (folder), juce::StringArray ({ "photo.png", "photo_2.png", "photo_3.png", "photo_4.png" }));
}

// A file a save handed out is never written again: a changed layer always
// goes to a new name, one its content gives, so the same layer is stored once.
TEST (PictureCopies, APenLayerCopyIsNeverRewritten)
{
    const auto folder = freshFolder ("layer");
    const auto path = folder.getChildFile ("imageDraw1.png").getFullPathName();
    juce::Random rng (9);
    juce::Image first (juce::Image::ARGB, 300, 200, true);
    drawTypicalStroke (first, rng);
    auto second = first.createCopy();
    drawTypicalStroke (second, rng);
    kestrune::pictures::makeStorable (first); // as the processor's strokes are
    kestrune::pictures::makeStorable (second);
    auto holdsExactly = [] (const juce::File& file, const juce::Image& image)
    {
        return PictureCopies::pixelChecksum (decoded (contentOf (file))) == PictureCopies::pixelChecksum (image);
    };

    struct Row
    {
        const char* name;
        std::function<void (PictureCopies&)> before; // how the object came to know the first layer
    };

    const Row rows[] = {
        { "written by this object", [&] (PictureCopies& c) { EXPECT_EQ (c.save (Kind::penLayer, first, path, folder), "imageDraw1.png"); } },
        { "read back (a restore)", [&] (PictureCopies& c) { c.read (Kind::penLayer, path, juce::File (path), folder); } },
        { "another object's", [] (PictureCopies&) {} },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        PictureCopies copies;
        row.before (copies);
        const auto saved = contentOf (juce::File (path));
        const auto old = juce::Time (2001, 0, 1, 0, 0);
        juce::File (path).setLastModificationTime (old);

        // Unchanged: the same copy, not written again.
        EXPECT_EQ (copies.save (Kind::penLayer, first, path, folder), "imageDraw1.png");
        EXPECT_EQ (juce::File (path).getLastModificationTime(), old);

        // Changed: a name of its own, the first copy byte for byte as it was.
        const auto name = copies.save (Kind::penLayer, second, path, folder);
        EXPECT_TRUE (name.startsWith ("imageDraw1-") && name.endsWith (".png")) << name;
        EXPECT_EQ (contentOf (juce::File (path)), saved);
        EXPECT_TRUE (holdsExactly (folder.getChildFile (name), second));

        // The same layer is stored once, and going back finds the first copy.
        EXPECT_EQ (copies.save (Kind::penLayer, second, path, folder), name);
        EXPECT_EQ (copies.save (Kind::penLayer, first, path, folder), "imageDraw1.png");
        EXPECT_EQ (fileNames (folder).size(), 2);
    }

    // A layer restored from a content-named copy and changed again gets a
    // name from the same stem, not a longer one.
    PictureCopies restored;
    const auto named = folder.getChildFile (restored.save (Kind::penLayer, second, path, folder));
    auto third = restored.read (Kind::penLayer, named.getFullPathName(), named, folder);
    drawTypicalStroke (third, rng);
    EXPECT_EQ (restored.save (Kind::penLayer, third, named.getFullPathName(), folder).length(), named.getFileName().length());

    EXPECT_TRUE (folder.findChildFiles (juce::File::findFiles, false, "*.part").isEmpty());
}

TEST (PictureCopies, SavesReadAndDecodeABoundedAmount)
{
    const auto folder = freshFolder ("bounded");
    const auto mine = picture (50, 20, 10);

    // Three different pictures of the same size, then one holding the same
    // pixels: only the first two are decoded, so the copy goes beside all four.
    for (int n = 1; n <= 3; ++n)
    {
        const auto f = folder.getChildFile (PictureCopies::numberedName ("shot.png", n));
        f.replaceWithData (encodePng (picture (50, 20, 20 + n)).getData(), encodePng (picture (50, 20, 20 + n)).getSize());
    }
    folder.getChildFile ("shot_4.png").replaceWithData (encodePng (mine).getData(), encodePng (mine).getSize());

    PictureCopies copies;
    EXPECT_EQ (copies.save (Kind::picture, mine, "/a/shot.png", folder), "shot_5.png");

    // Files of another size are told apart by their header alone.
    const auto other = freshFolder ("bounded-sizes");
    for (int n = 1; n <= 5; ++n)
    {
        const auto f = other.getChildFile (PictureCopies::numberedName ("shot.png", n));
        f.replaceWithData (encodePng (picture (50 + n, 20, n)).getData(), encodePng (picture (50 + n, 20, n)).getSize());
    }
    other.getChildFile ("shot_6.png").replaceWithData (encodePng (mine).getData(), encodePng (mine).getSize());
    EXPECT_EQ (copies.save (Kind::picture, mine, "/a/shot.png", other), "shot_6.png");
}

TEST (PictureCopies, NothingIsWrittenOutsideTheFolder)
{
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
    const auto folder = freshFolder ("inside");
    const auto cwd = juce::File::getCurrentWorkingDirectory();
    const auto homeBefore = filesUnder (home, folder);
    const auto cwdBefore = fileNames (cwd);
    const auto image = picture (8, 8, 1);

    PictureCopies copies;
    for (auto path : { "/x/..", "/x/.", "..", ".", "/x/", "", "/x/../..", "/x/~", "~", "~root", "/x/~nobody-here.png" })
    {
        for (auto kind : { Kind::picture, Kind::penLayer })
        {
            const auto name = copies.save (kind, image, path, folder);
            if (name.isNotEmpty())
            {
                EXPECT_EQ (PictureCopies::fileInFolder (folder, name).getParentDirectory(), folder) << path;
            }
        }
    }

    EXPECT_EQ (filesUnder (home, folder), homeBefore);
    EXPECT_EQ (fileNames (cwd), cwdBefore);
    EXPECT_TRUE (PictureCopies::fileInFolder (folder, "~").existsAsFile()) << "a name with a tilde is an ordinary name in the folder";
    EXPECT_TRUE (PictureCopies::fileInFolder (folder, "~nobody-here.png").existsAsFile());

    // A symbolic link in the folder is never written through.
    const auto outside = home.getChildFile ("outside-target.png");
    outside.replaceWithText ("keep me");
    folder.getChildFile ("linked.png").deleteFile();
    ASSERT_TRUE (outside.createSymbolicLink (folder.getChildFile ("linked.png"), true));
    EXPECT_EQ (copies.save (Kind::picture, image, "/y/linked.png", folder), "linked_2.png");
    EXPECT_TRUE (copies.save (Kind::penLayer, image, "/y/linked.png", folder).startsWith ("linked-"));
    EXPECT_EQ (outside.loadFileAsString(), "keep me");
}

TEST (PictureCopies, SameNamedPicturesSavedAtTheSameMomentGetNamesOfTheirOwn)
{
    constexpr int writers = 6, rounds = 15;
    const auto folder = freshFolder ("race");
    std::vector<juce::Image> images;
    for (int w = 0; w < writers; ++w)
        images.push_back (picture (60, 40, 100 + w));

    for (int round = 0; round < rounds; ++round)
    {
        const auto path = "/somewhere/race" + juce::String (round) + ".png";
        std::vector<PictureCopies> copies (writers);
        std::vector<juce::String> names (writers);
        std::atomic<int> ready { 0 };
        std::vector<std::thread> threads;

        for (int w = 0; w < writers; ++w)
            threads.emplace_back ([&, w]
            {
                ready.fetch_add (1);
                while (ready.load() < writers) {}
                names[(size_t) w] = copies[(size_t) w].save (Kind::picture, images[(size_t) w], path, folder);
            });

        for (auto& t : threads)
            t.join();

        std::set<juce::String> distinct (names.begin(), names.end());
        EXPECT_EQ ((int) distinct.size(), writers) << "round " << round;

        for (int w = 0; w < writers; ++w)
            EXPECT_TRUE (holdsPicture (folder.getChildFile (names[(size_t) w]), images[(size_t) w])) << names[(size_t) w];
    }

    EXPECT_TRUE (folder.findChildFiles (juce::File::findFiles, false, "*.part").isEmpty());
}
