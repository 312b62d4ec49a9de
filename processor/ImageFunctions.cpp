#include "PluginProcessor.h"
#include "ImageBands.h"
#include "PictureFiles.h"
#include "RowSmoothing.h"
#include "StorablePixels.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

//==============================================================================
// Picture files and paths

// The images folder under the user's Documents folder.
juce::File KestruneAudioProcessor::getImagesFolder() const
{
    return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory).getChildFile (imagesFolderName);
}

// Empty for a name that would land outside the folder ("", "..", a
// separator): joined by hand, since JUCE reads a leading "~" as a home folder.
juce::String KestruneAudioProcessor::getFilePath (juce::String fileName)
{
    return PictureCopies::fileInFolder (getImagesFolder(), fileName).getFullPathName();
}

namespace
{
    // Stamped file names (pen layers, recordings) handed out by any processor
    // in this process.
    std::mutex stampedNamesLock;
    std::set<juce::String> stampedNames;
}

// The stamp has a resolution of one second; a name handed out before in this
// process (by any instance), or a file already in the images folder, makes
// the name a numbered one: stem_2.png, stem_3.png, ...
juce::String KestruneAudioProcessor::nameStampedPath (const juce::String& prefix)
{
    const auto stamp = juce::Time::getCurrentTime().formatted ("%Y-%m-%d-%H-%M-%S");
    const auto stem = prefix + stamp;

    const std::lock_guard<std::mutex> lock (stampedNamesLock);
    auto name = stem + ".png";

    for (int n = 2; stampedNames.count (name) != 0 || juce::File (getFilePath (name)).exists(); ++n)
        name = stem + "_" + juce::String (n) + ".png";

    stampedNames.insert (name);
    return getFilePath (name);
}

juce::String KestruneAudioProcessor::nameImageDrawPath()
{
    return nameStampedPath ("imageDraw");
}

void KestruneAudioProcessor::createImageDrawPath()
{
    const auto path = nameImageDrawPath();

    // The path goes into the state in the same step (see stateLock).
    const juce::ScopedLock st (stateLock);
    {
        const juce::ScopedLock sl (pictureEditLock);
        drawImagePath = path;
    }

    setImageDrawPathToValueState();
}

// A path written here names what is in force: a copy the restored state
// recorded for the path before is no longer carried.
void KestruneAudioProcessor::setImageDrawPathToValueState()
{
    const juce::ScopedLock st (stateLock);
    const juce::ScopedLock sl (pictureEditLock);
    stateChildren.setProperty ("ImagePath", "pathDraw", drawImagePath);
    carriedCopies[(int) PictureCopies::Kind::penLayer].reset();
}

void KestruneAudioProcessor::setImagePathToValueState()
{
    const juce::ScopedLock st (stateLock);
    const juce::ScopedLock sl (pictureEditLock);
    stateChildren.setProperty ("ImagePath", "path", imageFilePath);
    carriedCopies[(int) PictureCopies::Kind::picture].reset();
}

// Writes the picture's copy into the images folder under the file name of
// its path, unless a different picture holds that name: then under a
// numbered name of its own (see PictureCopies).
void KestruneAudioProcessor::saveImageToDisk (juce::Image& image, juce::String path)
{
    pictureCopies.save (PictureCopies::Kind::picture, image, path, getImagesFolder());
}

//==============================================================================
// Image chain
namespace
{
    constexpr int maxSourceRows = 512;

    // The picture limited to 512 rows (a deep copy either way).
    juce::Image limitRows (const juce::Image& loaded)
    {
        if (! loaded.isValid())
            return {};

        if (loaded.getHeight() <= maxSourceRows)
            return loaded.createCopy();

        // Single precision, truncated; at least one column for very tall pictures.
        const auto width = juce::jmax (1, (int) ((float) loaded.getWidth() * 512.0f / (float) loaded.getHeight()));
        // Drawn as juce::Image::rescaled draws it, but onto a cleared image:
        // rescaled() leaves an RGB image uncleared, and the last column, not
        // quite covered, would blend with whatever memory held, so that the
        // same picture gave another source each time.
        juce::Image scaled (loaded.getFormat(), width, maxSourceRows, true);
        juce::Graphics g (scaled);
        g.setImageResamplingQuality (juce::Graphics::mediumResamplingQuality);
        g.drawImageTransformed (loaded, juce::AffineTransform::scale ((float) width / (float) loaded.getWidth(),
                                                                      (float) maxSourceRows / (float) loaded.getHeight()), false);
        return scaled;
    }

    void greyscaleInPlace (juce::Image& image)
    {
        if (! image.isValid())
            return;

        juce::Image::BitmapData data (image, juce::Image::BitmapData::readWrite);

        for (int y = 0; y < data.height; ++y)
        {
            for (int x = 0; x < data.width; ++x)
            {
                const auto c = data.getPixelColour (x, y); // unpremultiplied; transparent reads black

                // Red and green weighed in single precision, blue added in double.
                const float redGreen = (float) c.getRed() * 0.2126f + (float) c.getGreen() * 0.7152f;
                const double level = (double) redGreen + (double) c.getBlue() * 0.0722;
                const auto g = (juce::uint8) (int) level;

                data.setPixelColour (x, y, juce::Colour (g, g, g, (juce::uint8) 255));
            }
        }
    }

    // Greyscales `source` and builds the rest of a chain from it: the pen layer
    // (a copy of `layer` when there is one, else a clear one), the five copies and
    // an undo history holding the current layer.
    void buildChainFromSource (juce::Image& source, const juce::Image& layer, juce::Image& drawLayer,
                               juce::Image& compositeImage, juce::Image& workImage, juce::Image& blurImage,
                               juce::Image& outputImage, juce::Image& transformImage,
                               std::vector<LayerSnapshot>& undoImages)
    {
        greyscaleInPlace (source);

        if (layer.isValid())
            drawLayer = layer.createCopy();
        else if (source.isValid())
            drawLayer = juce::Image (juce::Image::ARGB, source.getWidth(), source.getHeight(), true);
        else
            drawLayer = {};

        auto copyOf = [] (const juce::Image& im) { return im.isValid() ? im.createCopy() : juce::Image(); };
        compositeImage = copyOf (source);
        workImage      = copyOf (compositeImage);
        blurImage      = copyOf (workImage);
        outputImage    = copyOf (blurImage);
        transformImage = copyOf (outputImage);

        undoImages.clear();
        undoImages.emplace_back (drawLayer);
    }

}

void KestruneAudioProcessor::iniImages()
{
    const juce::ScopedLock sl (criticalSection);
    const juce::ScopedLock pl (passLock);
    const juce::ScopedLock el (pictureEditLock);

    buildChainFromSource (sourceImage, loadedDrawImage, drawLayer, compositeImage, workImage,
                          blurImage, outputImage, transformImage, undoImages);
    undoIndex = 1;
    publishOutputImageHeight();

    // The parameter routing reads this mirror: the construction's own
    // adoption resets the parameters while this chain is in place.
    sourceImagePresent.store (sourceImage.isValid(), std::memory_order_release);
}

void KestruneAudioProcessor::publishOutputImageHeight() noexcept
{
    outputImageHeight.store (outputImage.isValid() ? outputImage.getHeight() : 0, std::memory_order_release);
}

void KestruneAudioProcessor::prepareAdoption()
{
    const juce::ScopedLock sl (criticalSection);
    const juce::ScopedLock pl (passLock);
    auto& chain = preparedChain;

    if (! newImagePending.load (std::memory_order_acquire))
    {
        // Free what the last adoption swapped out (never on the audio thread).
        chain.sourceImage = {};
        chain.drawLayer = {};
        chain.compositeImage = {};
        chain.workImage = {};
        chain.blurImage = {};
        chain.transformImage = {};
        chain.outputImage = {};
        chain.loadedDrawImage = {};

        if (chain.undoImages.capacity() != 0)
            std::vector<LayerSnapshot>().swap (chain.undoImages);

        if (chain.frame.grey.capacity() != 0)
            chain.frame = GreyFrame();

        return;
    }

    // The hand-over's pictures and choice, taken together: handOverPicture
    // stores them under pictureEditLock.
    juce::uint64 generation = 0;
    bool keep = false;
    juce::Image picture, layer;
    {
        const juce::ScopedLock el (pictureEditLock);
        generation = pendingGeneration.load (std::memory_order_acquire);
        keep = keepParams.load (std::memory_order_acquire);
        picture = loadedImage;
        layer = loadedDrawImage;
    }

    if (preparedChainReady.load (std::memory_order_acquire) && chain.generation == generation)
        return;

    preparedChainReady.store (false, std::memory_order_release);

    chain.loadedDrawImage = keep ? layer : juce::Image();
    chain.sourceImage = limitRows (picture);
    buildChainFromSource (chain.sourceImage, chain.loadedDrawImage, chain.drawLayer, chain.compositeImage,
                          chain.workImage, chain.blurImage, chain.outputImage, chain.transformImage,
                          chain.undoImages);
    chain.frame.buildFrom (chain.outputImage);
    chain.generation = generation;
    chain.keepParams = keep;

    preparedChainReady.store (true, std::memory_order_release);
}

// Parameter IDs an adoption without kept parameters resets, in table order:
// the switch groups by their first entry.
const juce::StringArray& KestruneAudioProcessor::resetParameterIDs()
{
    static const juce::StringArray ids = []
    {
        juce::StringArray result;

        for (int i = 0; i < valueTreeNames.size(); ++i)
            result.add (valueTreeNames[i] + ((i == 5 || i == 9 || i == 10) ? "0" : ""));

        return result;
    }();

    return ids;
}

//==============================================================================
// Handing a picture over (any thread but the audio thread)

void KestruneAudioProcessor::handOverPicture (PictureHandOver handOver)
{
    using Entry = PictureHandOver::Entry;
    using Parameters = PictureHandOver::Parameters;

    // The copy a source replacement swaps in is made before the lock is taken.
    juce::Image newSource;
    auto entry = handOver.entry;

    if (entry == Entry::replaceSource)
    {
        if (handOver.picture.has_value())
        {
            // Exactly the source an adoption of the same picture makes, so a
            // project saved now reopens with the same one.
            newSource = limitRows (*handOver.picture);
            greyscaleInPlace (newSource);
        }
        else
            entry = Entry::adopt;
    }

    std::vector<LayerSnapshot> oldHistory;

    {
        const juce::ScopedLock sl (pictureEditLock);

        // Swapped, not assigned: what was in place leaves with `handOver` and
        // is freed after the lock is released.
        if (handOver.picture.has_value())      std::swap (loadedImage, *handOver.picture);
        if (handOver.picture.has_value())      std::swap (loadedImageBytes, handOver.pictureBytes);
        if (handOver.penLayer.has_value())     std::swap (loadedDrawImage, *handOver.penLayer);
        if (handOver.picturePath.has_value())  std::swap (imageFilePath, *handOver.picturePath);
        if (handOver.penLayerPath.has_value()) std::swap (drawImagePath, *handOver.penLayerPath);

        if (handOver.clearUndoHistory)
        {
            undoImages.swap (oldHistory);
            undoIndex = 0;
        }

        // A new generation: no chain prepared before this point is adopted.
        pendingGeneration.fetch_add (1, std::memory_order_release);

        // The recording replaces the source of the chain in force when there is
        // one of its size and nothing waits to replace that chain.
        if (entry == Entry::replaceSource)
        {
            if (! newImagePending.load (std::memory_order_acquire) && sourceImage.isValid()
                 && compositeImage.isValid() && newSource.getBounds() == sourceImage.getBounds())
            {
                std::swap (sourceImage, newSource);
                needColourUpdate.store (true, std::memory_order_release);
                return;
            }

            handOver.parameters = Parameters::keep;
        }

        bool keep = false;

        switch (handOver.parameters)
        {
            case Parameters::keep:      keep = true; break;
            case Parameters::reset:     keep = false; break;
            case Parameters::asPending: keep = keepParams.load (std::memory_order_acquire); break;
        }

        keepParams.store (keep, std::memory_order_release);
        newImagePending.store (true); // sequentially consistent: see parameterChanged
    }
}

void KestruneAudioProcessor::resetDrawing()
{
    showHelpText.store (true);

    const juce::ScopedLock sl (stateLock); // the path goes into the state in the same step

    // A pen layer a restore brought back comes back again with the
    // adoption: the state goes on naming it, so that a save keeps it.
    bool restoredLayerReturns = false;
    {
        const juce::ScopedLock el (pictureEditLock);
        restoredLayerReturns = loadedDrawImage.isValid();
    }

    PictureHandOver handOver;
    handOver.parameters = PictureHandOver::Parameters::keep;
    handOver.clearUndoHistory = true;

    if (! restoredLayerReturns)
        handOver.penLayerPath = juce::String();

    handOverPicture (std::move (handOver));

    if (! restoredLayerReturns)
        setImageDrawPathToValueState();
}

void KestruneAudioProcessor::resetAll()
{
    showHelpText.store (true);

    const auto path = getFilePath ("imageDegault.png");

    PictureHandOver handOver;
    handOver.parameters = PictureHandOver::Parameters::asPending;
    handOver.picture = kestrune::pictures::decodePictureFile (juce::File (path));
    handOver.picturePath = path;
    handOver.penLayerPath = juce::String();
    handOver.clearUndoHistory = true;

    const juce::ScopedLock sl (stateLock); // the paths go into the state in the same step
    handOverPicture (std::move (handOver));
    setImagePathToValueState();
    setImageDrawPathToValueState();
}

void KestruneAudioProcessor::handOverRecording (const juce::Image& spectrogram)
{
    // Two recordings converted within one second get names of their own.
    const auto path = nameStampedPath ("imageSpect");

    // The recording takes the size of the picture it replaces.
    juce::Rectangle<int> bounds (480, 330);
    auto format = juce::Image::RGB;
    {
        const juce::ScopedLock sl (pictureEditLock);

        if (loadedImage.isValid())
        {
            bounds = loadedImage.getBounds();
            format = loadedImage.getFormat() == juce::Image::ARGB ? juce::Image::ARGB : juce::Image::RGB;
        }
    }

    juce::Image picture (format, bounds.getWidth(), bounds.getHeight(), false);
    picture.clear (bounds, juce::Colours::black);

    if (spectrogram.isValid())
    {
        juce::Graphics g (picture);
        g.drawImageAt (spectrogram.rescaled (bounds.getWidth(), bounds.getHeight(),
                                             juce::Graphics::mediumResamplingQuality), 0, 0);
    }

    // Its PNG is made on a thread of its own, so that a save finds it made.
    const auto bytes = std::make_shared<PictureBytes> (picture);

    PictureHandOver handOver;
    handOver.entry = PictureHandOver::Entry::replaceSource;
    handOver.picture = picture;
    handOver.pictureBytes = bytes;
    handOver.picturePath = path;

    {
        const juce::ScopedLock sl (stateLock); // the path goes into the state in the same step
        handOverPicture (std::move (handOver));
        setImagePathToValueState();
    }

    aheadEncoder.post (bytes);
}

//==============================================================================
void KestruneAudioProcessor::checkAndLoadFile()
{
    if (! newImagePending.load (std::memory_order_acquire)
         || needColourUpdate.load (std::memory_order_acquire)
         || needTransformUpdate.load (std::memory_order_acquire)
         || ! preparedChainReady.load (std::memory_order_acquire))
        return;

    // This processor's worker only: other instances' passes never keep its
    // picture waiting.
    const juce::ScopedTryLock tl (passLock);

    if (! tl.isLocked())
        return; // the worker is busy; try again next block

    // Held through the resets and the swap, so that no hand-over comes in
    // between the generation check and the swap.
    const juce::ScopedTryLock el (pictureEditLock);

    if (! el.isLocked())
        return; // a hand-over or a stroke is swapping handles; next block

    if (! preparedChainReady.load (std::memory_order_acquire)
         || preparedChain.generation != pendingGeneration.load (std::memory_order_acquire))
        return;

    if (! preparedChain.keepParams)
    {
        ringReadIndex = 3584;
        ringWriteIndex = 0;
        hopFill = 0;
        spectrumFifoFill = 0;

        for (const auto& id : resetParameterIDs())
            resetParameterNotifyingHost (id);
    }

    keepParams.store (false, std::memory_order_release);

    // Swap the chain built aside into place: no copying and no freeing here.
    // What was in place is left in preparedChain for the worker to free.
    std::swap (sourceImage,     preparedChain.sourceImage);
    std::swap (drawLayer,       preparedChain.drawLayer);
    std::swap (compositeImage,  preparedChain.compositeImage);
    std::swap (workImage,       preparedChain.workImage);
    std::swap (blurImage,       preparedChain.blurImage);
    std::swap (transformImage,  preparedChain.transformImage);
    std::swap (outputImage,     preparedChain.outputImage);
    std::swap (loadedDrawImage, preparedChain.loadedDrawImage);
    undoImages.swap (preparedChain.undoImages);
    undoIndex = 1;
    publishOutputImageHeight();
    outputFrames.replaceFront (preparedChain.frame);
    sourceImagePresent.store (sourceImage.isValid(), std::memory_order_release);
    preparedChainReady.store (false, std::memory_order_release);

    reloadImage.store (true, std::memory_order_release);
    newImagePending.store (false); // sequentially consistent: see parameterChanged
    needColourUpdate.store (true, std::memory_order_release);
}

//==============================================================================
// Interval selection, pen strokes and the pen layer's undo history.
//
// All of these run on the message thread, which must never wait for a worker
// pass. The pen layer and its history are shared with the worker, which
// composites the layer during its pass, and with the audio thread's picture
// adoption, which swaps a whole new chain in. So drawLayer, undoImages and
// undoIndex change only under pictureEditLock, which nobody holds for long:
// a stroke copies the layer in place, draws into the copy and packs its
// snapshot outside any lock, then swaps the new layer in; the worker takes
// the layer's handle under the same lock and composites whichever layer it
// got, whose pixels never change. An adoption that happens meanwhile is
// recognised by drawLayer no longer being the layer the operation started
// from; the operation then leaves the new chain alone.

void KestruneAudioProcessor::setRange (juce::Point<float> a, juce::Point<float> b)
{
    const auto lo = juce::jmin (a.x, b.x);
    auto hi = juce::jmax (a.x, b.x);

    intervalStart.store ((double) lo);
    intervalEnd.store ((double) hi);

    // Never hand the scan an empty interval.
    if (lo == hi)
        hi = (float) ((double) lo + 0.00001);

    setParameterNotifyingHost ("a_interval", lo);
    setParameterNotifyingHost ("b_interval", hi);
}

namespace
{
    enum PenStyle { penLine = 0, penEllipse, penRectangle, penFillEllipse, penFillRect, penFree, penSpray };

    struct PenSettings
    {
        float style = 0.0f;
        float thickness = 10.0f;
        float zoom = 0.0f;
        juce::Colour colour;
    };

    // The renderer works in integers with sub-pixel bits: coordinates beyond a
    // few million pixels overflow it. A view squeezed almost flat has an
    // inverse that scales pen input that far; a stroke through it lands
    // nowhere sensible in the picture and is left undrawn.
    bool withinRenderRange (juce::Rectangle<float> area)
    {
        constexpr float limit = 1.0e6f;

        for (auto v : { area.getX(), area.getY(), area.getRight(), area.getBottom() })
            if (! std::isfinite (v) || std::abs (v) > limit)
                return false;

        return true;
    }

    // Draws one stroke onto `layer`. Points are fractions of the output picture;
    // `pictureSize` is the source picture's size; `outputToPicture` is the
    // inverse of the view transform.
    void drawPenStroke (juce::Image& layer, const std::vector<juce::Point<float>>& points,
                        juce::Point<int> pictureSize, const PenSettings& pen,
                        const juce::AffineTransform& outputToPicture)
    {
        const auto w = (float) pictureSize.x;
        const auto h = (float) pictureSize.y;
        const auto scaled = [w, h] (juce::Point<float> p) { return juce::Point<float> (p.x * w, p.y * h); };

        const auto p0 = scaled (points.front());
        const auto p1 = scaled (points.back());

        // One pixel more than the distance, so a click still covers a pixel.
        const juce::Rectangle<float> box (juce::jmin (p0.x, p1.x), juce::jmin (p0.y, p1.y),
                                          std::abs (p1.x - p0.x) + 1.0f, std::abs (p1.y - p0.y) + 1.0f);

        juce::Graphics g (layer);
        g.setColour (pen.colour);

        if (pen.style == (float) penLine)
        {
            const juce::Line<float> line (p0.transformedBy (outputToPicture), p1.transformedBy (outputToPicture));

            if (withinRenderRange (juce::Rectangle<float> (line.getStart(), line.getEnd()).expanded (pen.thickness)))
                g.drawLine (line, pen.thickness);

            return;
        }

        if (pen.style == (float) penSpray)
        {
            // Whole-pixel squares in the picture, each placed where the view
            // shows its dot: like every other pen, through the inverse view.
            const auto side = (int) (1.0f + pen.zoom);

            if (side <= 0)
                return;

            for (const auto& p : points)
            {
                const auto at = scaled (p).transformedBy (outputToPicture);

                if (withinRenderRange ({ at.x, at.y, (float) side, (float) side }))
                    g.drawRect ((int) at.x, (int) at.y, side, side, 1);
            }

            return;
        }

        auto extent = box;
        for (const auto& p : points)
            extent = extent.getUnion (juce::Rectangle<float> (scaled (p), scaled (p)));

        const auto widest = juce::jmax (pen.thickness, (1.0f + pen.zoom) * pen.thickness);

        if (! withinRenderRange (extent.expanded (widest).transformedBy (outputToPicture)))
            return;

        g.addTransform (outputToPicture);

        if (pen.style == (float) penEllipse)
            g.drawEllipse (box, pen.thickness);
        else if (pen.style == (float) penRectangle)
            g.drawRect (box, pen.thickness);
        else if (pen.style == (float) penFillEllipse)
            g.fillEllipse (box);
        else if (pen.style == (float) penFillRect)
            g.fillRect (box);
        else if (pen.style == (float) penFree)
        {
            juce::Path path;
            path.startNewSubPath (p0);

            for (const auto& p : points)
                path.lineTo (scaled (p));

            // Outlined here rather than by strokePath, which takes its curve
            // accuracy from the view's scale: a quarter-turned view has a
            // scale of about 0 by that measure. The path is straight segments,
            // so the accuracy changes nothing drawn.
            juce::Path outline;
            juce::PathStrokeType ((1.0f + pen.zoom) * pen.thickness,
                                  juce::PathStrokeType::beveled, juce::PathStrokeType::butt)
                .createStrokedPath (outline, path, {}, 1.0f);
            g.fillPath (outline);
        }
    }
}

void KestruneAudioProcessor::drawShape (std::vector<juce::Point<float>>& points)
{
    if (points.empty())
        return;

    PenSettings pen;
    pen.style = penStyleValue->load();
    pen.thickness = penTicknessValue->load();
    pen.zoom = zoomValue->load();
    const auto grey = (juce::uint8) ((int) (penColourValue->load() * 255.0f) & 0xff);
    pen.colour = juce::Colour (grey, grey, grey, (juce::uint8) 255);

    juce::Image strokeBase; // the layer in place when the stroke began; keeps its identity checkable below
    juce::Point<int> pictureSize;
    juce::AffineTransform outputToPicture;
    LayerSnapshot currentStep;

    {
        const juce::ScopedLock sl (pictureEditLock);

        if (! sourceImage.isValid() || ! drawLayer.isValid())
            return;

        strokeBase = drawLayer;
        pictureSize = { sourceImage.getWidth(), sourceImage.getHeight() };
        outputToPicture = inverseViewTransform;

        if (undoIndex >= 1 && undoIndex <= (int) undoImages.size())
            currentStep = undoImages[(size_t) undoIndex - 1];
    }

    // A view squeezed flat (a stretch that cancels the zoom exactly, or the
    // zoom at its minimum) has no inverse, and JUCE then hands back the view
    // itself: nothing drawn on the canvas maps back onto the picture, so the
    // stroke is left undrawn rather than drawn through the wrong transform.
    if (outputToPicture.isSingularity())
        return;

    // The layer in place is never written: the stroke goes into a copy.
    auto layer = strokeBase.createCopy();
    drawPenStroke (layer, points, pictureSize, pen, outputToPicture);

    // The soft edges keep only colours its saved copy gives back exactly: a
    // reopened project filters through the very layer drawn here.
    kestrune::pictures::makeStorable (layer);
    const LayerSnapshot snapshot (layer, currentStep);

    bool needsDrawPath = false;

    {
        const juce::ScopedLock sl (pictureEditLock);

        // A picture was adopted while the stroke was drawn: the stroke went
        // with the replaced layer, and the new chain's history stands as it is.
        if (drawLayer != strokeBase)
            return;

        // Drop the redo tail, then the new layer becomes the current step.
        const auto keep = (size_t) juce::jlimit (0, (int) undoImages.size(), undoIndex);
        undoImages.erase (undoImages.begin() + (std::ptrdiff_t) keep, undoImages.end());
        undoImages.push_back (snapshot);
        undoIndex = (int) keep + 1;
        std::swap (drawLayer, layer);

        needsDrawPath = drawImagePath.isEmpty();
    }

    // The layer replaced (now in `layer`) is freed here, outside the lock,
    // unless the worker still composites it.
    layer = {};

    if (needsDrawPath)
        createImageDrawPath();

    needColourUpdate.store (true, std::memory_order_release);
}

bool KestruneAudioProcessor::undoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int newIndex = 0;

    {
        const juce::ScopedLock sl (pictureEditLock);

        newIndex = undoIndex - 1;

        if (undoIndex <= 1 || newIndex > (int) undoImages.size())
            return false;

        target = undoImages[(size_t) (newIndex - 1)];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (pictureEditLock);

        if (drawLayer != layerBefore || undoIndex != newIndex + 1)
            return false; // a picture was adopted meanwhile; its history starts at one step

        std::swap (drawLayer, restored);
        undoIndex = newIndex;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}

bool KestruneAudioProcessor::redoStroke()
{
    LayerSnapshot target;
    juce::Image layerBefore;
    int oldIndex = 0;

    {
        const juce::ScopedLock sl (pictureEditLock);

        oldIndex = undoIndex;

        if (undoIndex < 0 || undoIndex >= (int) undoImages.size())
            return false;

        target = undoImages[(size_t) undoIndex];
        layerBefore = drawLayer;
    }

    auto restored = target.restore();

    {
        const juce::ScopedLock sl (pictureEditLock);

        if (drawLayer != layerBefore || undoIndex != oldIndex)
            return false; // a picture was adopted meanwhile; nothing lies ahead of its only step

        std::swap (drawLayer, restored);
        undoIndex = oldIndex + 1;
    }

    needColourUpdate.store (true, std::memory_order_release);
    return true;
}

//==============================================================================
// Colour pipeline and view transform (worker thread, criticalSection held)

namespace
{
    struct Rgba { int r, g, b, a; };

    // Straight (unpremultiplied) access to the pixels of the three formats an
    // image of the chain can have.
    struct ArgbPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::ARGB;

        static Rgba read (const juce::uint8* p) noexcept
        {
            auto px = *reinterpret_cast<const juce::PixelARGB*> (p);
            if (px.getAlpha() != 255)
                px.unpremultiply();
            return { px.getRed(), px.getGreen(), px.getBlue(), px.getAlpha() };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            juce::PixelARGB px ((juce::uint8) c.a, (juce::uint8) c.r, (juce::uint8) c.g, (juce::uint8) c.b);
            if (c.a != 255)
                px.premultiply();
            *reinterpret_cast<juce::PixelARGB*> (p) = px;
        }
    };

    struct RgbPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::RGB;

        static Rgba read (const juce::uint8* p) noexcept
        {
            const auto& px = *reinterpret_cast<const juce::PixelRGB*> (p);
            return { px.getRed(), px.getGreen(), px.getBlue(), 255 };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            reinterpret_cast<juce::PixelRGB*> (p)->setARGB (255, (juce::uint8) c.r, (juce::uint8) c.g, (juce::uint8) c.b);
        }
    };

    struct AlphaPixels
    {
        static constexpr juce::Image::PixelFormat format = juce::Image::SingleChannel;

        static Rgba read (const juce::uint8* p) noexcept
        {
            const auto c = juce::Colour (*reinterpret_cast<const juce::PixelAlpha*> (p));
            return { c.getRed(), c.getGreen(), c.getBlue(), c.getAlpha() };
        }

        static void write (juce::uint8* p, Rgba c) noexcept
        {
            *p = (juce::uint8) c.a;
        }
    };

    template <typename Fn>
    void withPixelAccess (juce::Image::PixelFormat format, Fn&& fn)
    {
        switch (format)
        {
            case juce::Image::ARGB:          fn (ArgbPixels{});  break;
            case juce::Image::RGB:           fn (RgbPixels{});   break;
            case juce::Image::SingleChannel: fn (AlphaPixels{}); break;
            case juce::Image::UnknownFormat:
            default:                         break;
        }
    }

    // Rewrites the pixels of `source` into `dest` (same size and format),
    // row by row, in bands: fn (Rgba&) sees each straight colour and may change
    // it. `dest` may be `source`.
    template <typename Fn>
    void mapPixels (BandWorkers* workers, const juce::Image& source, const juce::Image& dest, Fn&& fn)
    {
        std::optional<juce::Image::BitmapData> input;
        const juce::Image::BitmapData output (dest, juce::Image::BitmapData::readWrite);

        if (source != dest)
            input.emplace (source, juce::Image::BitmapData::readOnly);

        const auto& in = input ? *input : output;

        withPixelAccess (output.pixelFormat, [&] (auto access)
        {
            using Access = decltype (access);

            kestrune::bands::forEachBand (workers, output.height, [&] (int y0, int y1)
            {
                for (int y = y0; y < y1; ++y)
                {
                    const auto* p = in.getLinePointer (y);
                    auto* q = output.getLinePointer (y);

                    for (int x = 0; x < output.width; ++x, p += in.pixelStride, q += output.pixelStride)
                    {
                        auto c = Access::read (p);
                        fn (c);
                        Access::write (q, c);
                    }
                }
            });
        });
    }

    // Copies the pixels of `source` into `dest` (same size), in bands. When
    // the formats differ the copy goes through the graphics context.
    void copyPixels (BandWorkers* workers, const juce::Image& source, juce::Image& dest)
    {
        if (kestrune::bands::copyInBands (workers, source, dest))
            return;

        dest.clear (dest.getBounds());
        juce::Graphics g (dest);
        g.drawImageAt (source, 0, 0);
    }

    juce::uint8 clampChannel (int v) noexcept
    {
        return (juce::uint8) juce::jlimit (0, 255, v);
    }
}

void KestruneAudioProcessor::changeColourFunction()
{
    prepareAdoption();

    // A picture is about to be adopted: render nothing, and lower the update
    // requests so that the audio thread may adopt it.
    if (newImagePending.load (std::memory_order_acquire))
    {
        needColourUpdate.store (false, std::memory_order_release);
        needTransformUpdate.store (false, std::memory_order_release);
        return;
    }

    // Nothing to render yet: the requests wait for a picture.
    if (! sourceInForce().isValid())
    {
        if (finishedPicture.latest().isValid())
            finishedPicture.publish ({}); // the windows show no picture either
        return;
    }

    // Each request is taken (lowered) before the work it asks for, so that a
    // request raised by another thread while this pass runs survives it.
    if (reloadImage.exchange (false, std::memory_order_acq_rel))
        needColourUpdate.store (true, std::memory_order_release);

    if (needColourUpdate.exchange (false, std::memory_order_acq_rel))
    {
        needTransformUpdate.store (false, std::memory_order_release);
        runColourStages();
        applyTransform();
        return;
    }

    if (needTransformUpdate.exchange (false, std::memory_order_acq_rel))
        applyTransform();
}

juce::Image KestruneAudioProcessor::sourceInForce()
{
    const juce::ScopedLock el (pictureEditLock);
    return sourceImage;
}

juce::Image KestruneAudioProcessor::penLayerInForce()
{
    const juce::ScopedLock el (pictureEditLock);
    return drawLayer;
}

void KestruneAudioProcessor::runColourStages()
{
    if (! compositeImage.isValid() || ! workImage.isValid() || ! blurImage.isValid())
        return;

    // The message thread replaces these (a recording, a stroke, an undo)
    // without waiting for this pass; the pass works on the ones in force now.
    // Their pixels never change once in place: a stroke swaps in a new layer.
    const auto source = sourceInForce();
    const auto layer = penLayerInForce();

    BandWorkers* workers = &bandWorkers.get();
    auto& stages = pipelineStages;
    const int width  = compositeImage.getWidth();
    const int height = compositeImage.getHeight();

    // Picture and pen layer, each stretched over the whole composite. The
    // picture is opaque, so at the composite's own size drawing it is a copy.
    const PipelineStages::Composite compositeInputs { source, layer, compositeImage };

    if (! (stages.composite == compositeInputs))
    {
        const bool sameShape = source.getBounds() == compositeImage.getBounds()
                                && source.getFormat() == compositeImage.getFormat();

        if (sameShape)
        {
            copyPixels (workers, source, compositeImage);

            kestrune::bands::drawInBands (workers, compositeImage, layer,
                                          [width, height] (juce::Graphics& g, const juce::Image& bandLayer)
            {
                g.setOpacity (1.0f);

                if (bandLayer.isValid())
                    g.drawImage (bandLayer, 0, 0, width, height, 0, 0, bandLayer.getWidth(), bandLayer.getHeight());
            });
        }
        else
        {
            juce::Graphics g (compositeImage);
            g.drawImage (source, 0, 0, width, height, 0, 0, source.getWidth(), source.getHeight());
            g.setOpacity (1.0f);

            if (layer.isValid())
                g.drawImage (layer, 0, 0, width, height, 0, 0, layer.getWidth(), layer.getHeight());
        }

        stages.composite = compositeInputs;
        stages.compositeVersion = stages.newVersion();
        ++stages.counts.composites;
    }

    // Lower resolution: shrink, then stretch back to the full size, into an
    // image of the work image's format kept for the purpose. A picture
    // narrower or shorter than the divisor still keeps one pixel on that axis.
    const int reducedWidth  = juce::jmax (1, (int) ((double) width  / (double) horrescaleValue->load()));
    const int reducedHeight = juce::jmax (1, (int) ((double) height / (double) verrescaleValue->load()));
    const juce::Image* colourInput = &compositeImage;
    auto colourInputVersion = stages.compositeVersion;

    if (reducedWidth == width && reducedHeight == height)
    {
        // At full resolution the work image is a copy of the composite.
        stages.reduction.reset();
        stages.shrunk = {};
        stages.reduced = {};

        if (compositeImage.getFormat() != workImage.getFormat() || compositeImage.getBounds() != workImage.getBounds())
        {
            copyPixels (workers, compositeImage, workImage);
            colourInput = &workImage;
            colourInputVersion = 0; // rewritten above: the colour stage must run
        }
    }
    else
    {
        const PipelineStages::Reduction reductionInputs { stages.compositeVersion, reducedWidth, reducedHeight, workImage };

        if (! (stages.reduction == reductionInputs) || ! stages.reduced.isValid())
        {
            // As juce::Image::rescaled: a cleared image of the composite's
            // format, drawn with the medium resampling quality.
            if (! stages.shrunk.isValid() || stages.shrunk.getFormat() != compositeImage.getFormat()
                 || stages.shrunk.getWidth() != reducedWidth || stages.shrunk.getHeight() != reducedHeight)
                stages.shrunk = juce::Image (compositeImage.getFormat(), reducedWidth, reducedHeight, true,
                                             juce::SoftwareImageType());
            else
                kestrune::bands::clearInBands (workers, stages.shrunk, juce::Colour());

            const auto shrink = juce::AffineTransform::scale ((float) reducedWidth / (float) width,
                                                              (float) reducedHeight / (float) height);
            kestrune::bands::drawTransformedInBands (workers, stages.shrunk, compositeImage, shrink,
                                                     juce::Graphics::mediumResamplingQuality);

            // The stretched draw leaves the border pixels a little short of
            // opaque; it starts from a cleared image so that nothing of an
            // earlier pass shows through them.
            if (! stages.reduced.isValid() || stages.reduced.getFormat() != workImage.getFormat()
                 || stages.reduced.getBounds() != workImage.getBounds())
                stages.reduced = juce::Image (workImage.getFormat(), workImage.getWidth(), workImage.getHeight(), true,
                                              juce::SoftwareImageType());
            else
                kestrune::bands::clearInBands (workers, stages.reduced, juce::Colour());

            // What drawImage (shrunk, 0, 0, width, height, 0, 0, reducedWidth,
            // reducedHeight) draws: the whole of it stretched over the image.
            const auto stretch = juce::AffineTransform::scale ((float) width / (float) reducedWidth,
                                                               (float) height / (float) reducedHeight)
                                     .translated (0.0f, 0.0f);
            kestrune::bands::drawTransformedInBands (workers, stages.reduced, stages.shrunk, stretch,
                                                     juce::Graphics::mediumResamplingQuality);

            stages.reduction = reductionInputs;
            stages.reductionVersion = stages.newVersion();
            ++stages.counts.reductions;
        }

        colourInput = &stages.reduced;
        colourInputVersion = stages.reductionVersion;
    }

    // Brightness, contrast and the black-and-white threshold each act on one
    // channel value alone: tabulate them, in that order, and run one sweep.
    PipelineStages::Colour colourInputs;
    colourInputs.input = colourInputVersion;
    colourInputs.blackAndWhite = bwsetValue->load() == 1.0f;
    colourInputs.smoothing = blurforxaxisValue->load();
    colourInputs.work = workImage;
    colourInputs.blur = blurImage;

    {
        const int brightness = (int) (brightnessValue->load() * 128.0f);
        const double contrast = (double) contrastValue->load();
        const float threshold = bwthrresholdValue->load() * 255.0f;

        for (int c = 0; c < 256; ++c)
        {
            const int c1 = juce::jlimit (0, 255, c + brightness);
            const double c2 = (((double) c1 / 255.0 - 0.5) * contrast + 0.5) * 255.0;
            int level = clampChannel ((int) c2);

            if (colourInputs.blackAndWhite)
                level = (float) level < threshold ? 0 : 255;

            colourInputs.table[(size_t) c] = (juce::uint8) level;
        }
    }

    // The row smoothing starts from the state the last one left, so it is
    // redone whenever that state has moved on, even over the same picture.
    if (colourInputs.smoothing != 0.0f)
        colourInputs.smoothingStart = rowSmoothState;

    if (colourInputVersion != 0 && stages.colour == colourInputs)
        return;

    {
        const auto& table = colourInputs.table;
        const bool blackAndWhite = colourInputs.blackAndWhite;

        mapPixels (workers, *colourInput, workImage, [&table, blackAndWhite] (Rgba& c)
        {
            c.r = table[(size_t) c.r];
            c.g = table[(size_t) c.g];
            c.b = table[(size_t) c.b];

            if (blackAndWhite)
                c.a = 255;
        });
    }

    // Smoothing along the rows. The state runs on from pixel to pixel, from
    // row to row and from pass to pass. The result goes into blurImage, and
    // the work image takes the same pixels.
    if (colourInputs.smoothing != 0.0f)
    {
        kestrune::smoothing::smoothRows (workImage, blurImage, colourInputs.smoothing, rowSmoothState, workers);
        copyPixels (workers, blurImage, workImage);
        ++stages.counts.smoothings;
    }

    stages.colour = colourInputs;
    stages.colourVersion = stages.newVersion();
    ++stages.counts.colours;
}

void KestruneAudioProcessor::applyTransform()
{
    if (! outputImage.isValid())
        return;

    const int outputWidth = outputImage.getWidth();
    const int outputHeight = outputImage.getHeight();

    // Quarter turns use 1.57, 3.14 and 4.71; the highest switch that is on wins.
    // With no switch on there is no rotation at all, fine rotation included.
    const float fine = fineRotateValue->load() * 1.57f / 90.0f;
    float angle = 0.0f;

    if (rotateValues[3]->load() == 1.0f)       angle = (float) ((double) fine + 4.71);
    else if (rotateValues[2]->load() == 1.0f)  angle = (float) ((double) fine + 3.14);
    else if (rotateValues[1]->load() == 1.0f)  angle = (float) ((double) fine + 1.57);
    else if (rotateValues[0]->load() == 1.0f)  angle = fine;

    const int workWidth = workImage.isValid() ? workImage.getWidth() : 0;
    const int workHeight = workImage.isValid() ? workImage.getHeight() : 0;
    const float cx = (float) (workWidth / 2);
    const float cy = (float) (workHeight / 2);

    const float zoom = zoomValue->load();
    const float sx = 1.0f + zoom + horskewValue->load();
    const float sy = 1.0f + zoom + verskewValue->load();

    viewTransform = juce::AffineTransform::rotation (angle, cx, cy)
                        .translated (leftrightValue->load() * (float) workWidth,
                                     updownValue->load() * (float) workHeight)
                        .scaled (sx, sy, cx, cy);
    {
        const juce::ScopedLock el (pictureEditLock); // pen strokes read it
        inverseViewTransform = viewTransform.inverted();
    }

    // The same work picture through the same transform into the same images
    // gives the output already published (a change of "effectapply", say).
    auto& stages = pipelineStages;
    PipelineStages::Transform inputs;
    inputs.work = stages.colour.has_value() && stages.colour->work == workImage ? stages.colourVersion : 0;
    inputs.transform = viewTransform;
    inputs.workImage = workImage;
    inputs.transformImage = transformImage;
    inputs.output = outputImage;
    inputs.publication = finishedPicture.publications();

    if (inputs.work != 0 && stages.transform == inputs)
        return;

    BandWorkers* workers = &bandWorkers.get();

    if (transformImage.isValid() && transformImage.getBounds() == outputImage.getBounds()
         && transformImage.getFormat() == outputImage.getFormat())
    {
        // The chain's images as made: drawing into transformImage and copying
        // it over outputImage gives outputImage those bytes, so draw there.
        kestrune::bands::clearInBands (workers, outputImage, juce::Colour (0xff000000));

        if (workImage.isValid())
            kestrune::bands::drawTransformedInBands (workers, outputImage, workImage, viewTransform,
                                                     juce::Graphics::mediumResamplingQuality);
    }
    else if (transformImage.isValid())
    {
        kestrune::bands::clearInBands (workers, transformImage.getClippedImage ({ 0, 0, outputWidth, outputHeight }),
                                       juce::Colour (0xff000000));

        if (workImage.isValid())
        {
            kestrune::bands::drawTransformedInBands (workers, transformImage, workImage, viewTransform,
                                                     juce::Graphics::mediumResamplingQuality);
        }

        // transformImage is opaque, so drawing it over outputImage is a copy.
        copyPixels (workers, transformImage, outputImage);
    }

    outputFrames.backFrame().buildFrom (outputImage, workers);
    outputFrames.publish();
    finishedPicture.publish (outputImage);

    inputs.publication = finishedPicture.publications();
    stages.transform = inputs;
    ++stages.counts.transforms;
}
