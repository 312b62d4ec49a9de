#include "PluginProcessor.h"
#include "SafeFiles.h"
#include "PluginEditor.h"
#include "PictureFiles.h"
#include "StateBlob.h"

#include <algorithm>
#include <cstdlib>

namespace
{
    enum class ParamClass { floatRange, floatSimple, metaFloat, intRange, boolean, choice };

    struct ParamRow
    {
        const char* id;
        ParamClass kind;
        float min, max, interval, skew, def;
        bool listened;
    };

    // The plain parameters in creation order (the switch groups follow them).
    constexpr ParamRow plainParameters[] = {
        { "leftright",       ParamClass::floatRange,  -1.0f,   1.0f, 0.0f,   1.0f, 0.0f,  true  },
        { "updown",          ParamClass::floatRange,  -1.0f,   1.0f, 0.0f,   1.0f, 0.0f,  true  },
        { "zoom",            ParamClass::floatSimple, -1.0f,   5.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "contrast",        ParamClass::floatSimple, -5.0f,   5.0f, 0.01f,  1.0f, 1.0f,  true  },
        { "brightness",      ParamClass::floatSimple, -1.0f,   1.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "penTickness",     ParamClass::floatSimple,  1.0f,  30.0f, 0.01f,  1.0f, 10.0f, false },
        { "penColour",       ParamClass::floatSimple,  0.0f,   1.0f, 0.01f,  1.0f, 1.0f,  false },
        { "bwset",           ParamClass::boolean,      0.0f,   1.0f, 1.0f,   1.0f, 0.0f,  true  },
        { "bwthrreshold",    ParamClass::floatSimple,  0.0f,   1.0f, 0.01f,  1.0f, 0.5f,  true  },
        { "a_interval",      ParamClass::metaFloat,    0.0f,   1.0f, 0.0f,   1.0f, 0.4f,  true  },
        { "b_interval",      ParamClass::metaFloat,    0.0f,   1.0f, 0.0f,   1.0f, 0.6f,  true  },
        { "penStyle",        ParamClass::choice,       0.0f,   6.0f, 1.0f,   1.0f, 0.0f,  true  },
        { "randomizespeed",  ParamClass::choice,       0.0f,  23.0f, 1.0f,   1.0f, 13.0f, false },
        { "attack",          ParamClass::floatSimple,  0.0f,   1.0f, 0.01f,  1.0f, 0.0f,  false },
        { "decay",           ParamClass::floatSimple,  0.01f,  1.0f, 0.01f,  1.0f, 1.0f,  false },
        { "barduratiom",     ParamClass::intRange,     1.0f,  20.0f, 1.0f,   1.0f, 1.0f,  false },
        { "fineRotate",      ParamClass::floatSimple, -90.0f, 90.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "effectapply",     ParamClass::floatSimple,  0.1f,  10.0f, 0.01f,  1.0f, 1.0f,  true  },
        { "startposition",   ParamClass::floatRange,   0.0f,   1.0f, 0.0f,   1.0f, 0.4f,  true  },
        { "leninterval",     ParamClass::floatSimple,  0.0f,   1.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "blurforxaxis",    ParamClass::floatRange,   0.0f,   1.0f, 0.001f, 3.0f, 0.0f,  true  },
        { "smootheforYAxis", ParamClass::floatRange,   0.0f,   1.0f, 0.001f, 3.0f, 0.0f,  false },
        { "horrescale",      ParamClass::floatSimple,  1.0f, 128.0f, 0.01f,  1.0f, 1.0f,  true  },
        { "verrescale",      ParamClass::floatSimple,  1.0f, 128.0f, 0.01f,  1.0f, 1.0f,  true  },
        { "horskew",         ParamClass::floatSimple, -1.0f,   1.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "verskew",         ParamClass::floatSimple, -1.0f,   1.0f, 0.01f,  1.0f, 0.0f,  true  },
        { "drywet",          ParamClass::floatSimple,  0.0f,   1.0f, 0.01f,  1.0f, 1.0f,  false },
        { "wider",           ParamClass::floatSimple,  0.0f,  15.0f, 0.01f,  1.0f, 0.0f,  false },
    };

    std::unique_ptr<juce::RangedAudioParameter> makeParameter (const ParamRow& p)
    {
        const juce::ParameterID pid { p.id, 1 };
        const juce::String name { p.id };

        switch (p.kind)
        {
            case ParamClass::floatSimple:
                return std::make_unique<juce::AudioParameterFloat> (pid, name, p.min, p.max, p.def);
            case ParamClass::floatRange:
                return std::make_unique<juce::AudioParameterFloat> (pid, name,
                           juce::NormalisableRange<float> (p.min, p.max, p.interval, p.skew, false), p.def);
            case ParamClass::metaFloat:
                return std::make_unique<MetaParameter<juce::AudioParameterFloat>> (pid, name,
                           juce::NormalisableRange<float> (p.min, p.max, p.interval, p.skew, false), p.def);
            case ParamClass::intRange:
                return std::make_unique<juce::AudioParameterInt> (pid, name, (int) p.min, (int) p.max, (int) p.def);
            case ParamClass::boolean:
                return std::make_unique<juce::AudioParameterBool> (pid, name, p.def >= 0.5f);
            case ParamClass::choice:
                return std::make_unique<juce::AudioParameterChoice> (pid, name,
                           juce::String (p.id) == "penStyle" ? penStyleOptions : myNotetUnit, (int) p.def);
        }

        jassertfalse;
        return {};
    }
}

//==============================================================================
KestruneAudioProcessor::KestruneAudioProcessor()
    : AudioProcessor (BusesProperties().withInput  ("Input",  juce::AudioChannelSet::stereo(), true)
                                       .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      juce::Thread ("NoName")
{
    createParameters();

    // Images folder and default picture. The folder's creation may fail
    // (read-only Documents); then nothing is written and there is no picture.
    const auto imagesFolder = juce::File::getSpecialLocation (juce::File::userDocumentsDirectory)
                                  .getChildFile (imagesFolderName);

    if (imagesFolder.getFullPathName().isEmpty() || ! imagesFolder.exists())
        imagesFolder.createDirectory();

    kestrune::files::removeStaleAsideFilesOnce (imagesFolder); // what a crash mid-save left

    const auto defaultPath = getFilePath ("imageDegault.png");

    sourceImage = juce::Image (juce::Image::ARGB, 480, 330, true);
    iniImages(); // opaque black

    // Every instance on the machine rewrites this file, possibly at the same
    // moment: it is written aside and renamed into place.
    const bool defaultWritten = kestrune::pictures::writePngReplacing (sourceImage, juce::File (defaultPath));
    pictureCopies.reserveName ("imageDegault.png", sourceImage);

    dryDelayBuffer.setSize (2, 2 * fftSize);
    dryDelayBuffer.clear();

    // The audio path works before prepareToPlay too (some hosts process first).
    dryScratch.setSize (2, fftSize);
    std::fill (std::begin (windowTable), std::end (windowTable), 1.0f);
    window.multiplyWithWindowingTable (windowTable, (size_t) fftSize);
    prepareAudioPath (44100.0, fftSize, 2);

    // Read the default picture back. Another writer may have put something
    // else there in between; a processor still always starts black, unless
    // its own picture could not be written at all.
    auto decoded = kestrune::pictures::decodePictureFile (juce::File (defaultPath));

    if (! kestrune::pictures::isOpaqueBlack (decoded, 480, 330))
        decoded = defaultWritten ? sourceImage.createCopy() : juce::Image();

    PictureHandOver handOver;
    handOver.parameters = PictureHandOver::Parameters::reset;
    handOver.picture = decoded;
    handOver.picturePath = defaultPath;
    handOverPicture (std::move (handOver));

    {
        // Adopt at once (the worker has not started: nothing holds the locks
        // for long; they are taken in their order).
        const juce::ScopedLock sl (criticalSection);
        const juce::ScopedLock pl (passLock);
        prepareAdoption();
        checkAndLoadFile();
        finishedPicture.publish (outputImage);
    }

    needColourUpdate.store (false, std::memory_order_release);

    // Delivers the record capture's start and end messages.
    recordMessenger.startTimer (15);

    startThread();
}

KestruneAudioProcessor::~KestruneAudioProcessor()
{
    recordMessenger.stopTimer();
    stopWorker();
}

void KestruneAudioProcessor::stopWorker()
{
    // Ask the worker to leave and give it 100 ms. A pass over a large picture
    // can take longer (a few tens of milliseconds at worst, bounded by the
    // 512-row limit), so then wait for it to finish rather than kill it, which
    // would leave the pipeline lock held and the images half written.
    signalThreadShouldExit();
    notify();

    if (! waitForThreadToExit (100))
        waitForThreadToExit (-1);
}

void KestruneAudioProcessor::createParameters()
{
    auto add = [this] (std::unique_ptr<juce::RangedAudioParameter> param, bool listened) -> std::atomic<float>*
    {
        const auto id = param->paramID;
        apvts.createAndAddParameter (std::move (param));

        if (listened)
            apvts.addParameterListener (id, this);

        return apvts.getRawParameterValue (id);
    };

    std::map<juce::String, std::atomic<float>**> pointerFor {
        { "leftright", &leftrightValue }, { "updown", &updownValue }, { "zoom", &zoomValue },
        { "contrast", &contrastValue }, { "brightness", &brightnessValue },
        { "penTickness", &penTicknessValue }, { "penColour", &penColourValue },
        { "bwset", &bwsetValue }, { "bwthrreshold", &bwthrresholdValue },
        { "a_interval", &aIntervalValue }, { "b_interval", &bIntervalValue },
        { "penStyle", &penStyleValue }, { "randomizespeed", &randomizespeedValue },
        { "attack", &attackValue }, { "decay", &decayValue }, { "barduratiom", &barduratiomValue },
        { "fineRotate", &fineRotateValue }, { "effectapply", &effectapplyValue },
        { "startposition", &startpositionValue }, { "leninterval", &lenintervalValue },
        { "blurforxaxis", &blurforxaxisValue }, { "smootheforYAxis", &smootheforYAxisValue },
        { "horrescale", &horrescaleValue }, { "verrescale", &verrescaleValue },
        { "horskew", &horskewValue }, { "verskew", &verskewValue },
        { "drywet", &drywetValue }, { "wider", &widerValue }
    };

    for (const auto& row : plainParameters)
        *pointerFor.at (row.id) = add (makeParameter (row), row.listened);

    auto addGroup = [&] (const juce::String& stem, auto& pointers)
    {
        for (size_t k = 0; k < pointers.size(); ++k)
        {
            const auto id = stem + juce::String ((int) k);
            pointers[k] = add (std::make_unique<juce::AudioParameterBool> (juce::ParameterID { id, 1 }, id, k == 0), true);
        }
    };

    addGroup (valueTreeNames[5], rotateValues);
    addGroup (valueTreeNames[9], directionValues);
    addGroup (valueTreeNames[10], reflineValues);

    apvts.state = juce::ValueTree ("Kestrune");

    noteBeats.resize ((size_t) myNotetUnit.size());
    noteBeats[0] = 6.0f;
    noteBeats[1] = 4.0f;
    noteBeats[2] = 8.0f / 3.0f;

    for (size_t i = 0; i + 3 < noteBeats.size(); ++i)
        noteBeats[i + 3] = noteBeats[i] * 0.5f;
}

void KestruneAudioProcessor::setParameterNotifyingHost (const juce::String& parameterID, float plainValue)
{
    if (auto* param = apvts.getParameter (parameterID))
    {
        const auto normalised = param->convertTo0to1 (plainValue);
        param->setValue (normalised);
        param->sendValueChangedMessageToListeners (normalised);
    }
}

void KestruneAudioProcessor::resetParameterNotifyingHost (const juce::String& parameterID)
{
    if (auto* param = apvts.getParameter (parameterID))
    {
        const auto normalised = param->getDefaultValue();
        param->setValue (normalised);
        param->sendValueChangedMessageToListeners (normalised);
    }
}

//==============================================================================
void KestruneAudioProcessor::run()
{
    while (! threadShouldExit())
    {
        runWorkerPass();
        workerPasses.fetch_add (1, std::memory_order_release);

        wait (44);
    }
}

void KestruneAudioProcessor::runWorkerPass()
{
    {
        const juce::ScopedLock sl (criticalSection);
        const juce::ScopedLock pl (passLock);
        changeColourFunction();
        publishOutputImageHeight();
    }

    // The windows' copies of the new picture, scaled outside the locks.
    finishedPicture.renderDisplayCopies (&bandWorkers.get());
}

//==============================================================================
const juce::String KestruneAudioProcessor::getName() const   { return "Kestrune"; }
double KestruneAudioProcessor::getTailLengthSeconds() const  { return 0.0; }
bool KestruneAudioProcessor::acceptsMidi() const             { return false; }
bool KestruneAudioProcessor::producesMidi() const            { return false; }
bool KestruneAudioProcessor::isMidiEffect() const            { return false; }
bool KestruneAudioProcessor::hasEditor() const               { return true; }
int KestruneAudioProcessor::getNumPrograms()                 { return 1; }
int KestruneAudioProcessor::getCurrentProgram()              { return 0; }
void KestruneAudioProcessor::setCurrentProgram (int)         {}
const juce::String KestruneAudioProcessor::getProgramName (int) { return "Empty"; }
void KestruneAudioProcessor::changeProgramName (int, const juce::String&) {}
void KestruneAudioProcessor::releaseResources()              {}

juce::AudioProcessorEditor* KestruneAudioProcessor::createEditor()
{
    return new KestruneAudioProcessorEditor (*this);
}

bool KestruneAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto out = layouts.getMainOutputChannelSet();

    if (out != juce::AudioChannelSet::mono() && out != juce::AudioChannelSet::stereo())
        return false;

    return layouts.getMainInputChannelSet() == out;
}

//==============================================================================
void KestruneAudioProcessor::parameterChanged (const juce::String& parameterID, float newValue)
{
    // While a picture loads every change is ignored here (the value itself
    // still changes).
    if (isLoading.load (std::memory_order_acquire))
        return;

    if (parameterID == "horrescale" || parameterID == "verrescale")
        reloadImage.store (true, std::memory_order_release);

    if (! sourceImagePresent.load (std::memory_order_acquire))
        return;

    // While a picture waits for adoption no render request is raised: the
    // worker renders nothing meanwhile, and the adoption asks for a whole pass
    // that reads every parameter as it then stands. A request would only hold
    // the adoption back, and a host automating a parameter with every block
    // would hold it back for good. (Sequentially consistent, paired with the
    // adoption's lowering of the flag: a change that sees the picture still
    // waiting is visible to the pass the adoption asks for.)
    const bool adoptionWaiting = newImagePending.load();

    if (parameterID == "contrast" || parameterID == "blurforxaxis" || parameterID == "bwset"
         || parameterID == "bwthrreshold" || parameterID == "brightness")
    {
        if (! adoptionWaiting)
            needColourUpdate.store (true, std::memory_order_release);
        return;
    }

    // Grid: the switch turned on last decides; turning one off changes nothing.
    if (parameterID.length() == 8 && parameterID.startsWith ("refline"))
    {
        const auto k = parameterID.getLastCharacter() - '0';

        if (k >= 0 && k <= 5 && newValue == 1.0f)
            refLineCount.store (1 << k, std::memory_order_release);
    }

    if (parameterID == "a_interval")
    {
        requestIntervalCoupling (couplingFromA);
        return;
    }

    if (parameterID == "b_interval")
    {
        requestIntervalCoupling (couplingFromB);
        return;
    }

    if (parameterID == "startposition" && ! intervalSyncGuardRaisedHere())
    {
        requestIntervalCoupling (couplingFromStart);
        return;
    }

    if (! adoptionWaiting)
        needTransformUpdate.store (true, std::memory_order_release);
}

bool KestruneAudioProcessor::intervalSyncGuardRaisedHere() const noexcept
{
    return intervalCouplingOwner.load() == juce::Thread::getCurrentThreadId()
            && intervalSyncGuard.load (std::memory_order_relaxed);
}

void KestruneAudioProcessor::requestIntervalCoupling (unsigned request)
{
    const auto self = juce::Thread::getCurrentThreadId();

    // A change caused by the coupling this thread is running.
    if (intervalCouplingOwner.load() == self)
    {
        runIntervalCouplingStep (request);
        return;
    }

    // Leave the request, then try to become the owner. If another thread owns
    // the coupling, it runs the request before it lets go: either it sees the
    // request after its release, or this thread's attempt sees no owner.
    deferredIntervalCoupling.fetch_or (request);

    for (;;)
    {
        juce::Thread::ThreadID noOwner = nullptr;

        if (! intervalCouplingOwner.compare_exchange_strong (noOwner, self))
            return;

        for (auto pending = deferredIntervalCoupling.exchange (0); pending != 0;
                  pending = deferredIntervalCoupling.exchange (0))
        {
            for (auto step : { couplingFromA, couplingFromB, couplingFromStart })
                if ((pending & step) != 0)
                    runIntervalCouplingStep (step);
        }

        intervalCouplingOwner.store (nullptr);

        if (deferredIntervalCoupling.load() == 0)
            return;
    }
}

namespace
{
    // The coupling runs on the audio thread too (host automation, adoption
    // resets): its IDs are made once, so that it never builds a string there.
    const juce::String aIntervalID { "a_interval" }, bIntervalID { "b_interval" },
                       startPositionID { "startposition" };
}

void KestruneAudioProcessor::runIntervalCouplingStep (unsigned request)
{
    const float a = aIntervalValue->load();
    const float b = bIntervalValue->load();

    if (request == couplingFromA)
    {
        if (a > b)
            setParameterNotifyingHost (bIntervalID, a);
        else
            intervalStart.store (a);

        if (! intervalSyncGuard.load (std::memory_order_relaxed))
        {
            intervalSyncGuard.store (true, std::memory_order_relaxed);
            setParameterNotifyingHost (startPositionID, aIntervalValue->load());
            intervalSyncGuard.store (false, std::memory_order_relaxed);
        }
    }
    else if (request == couplingFromB)
    {
        if (a > b)
            setParameterNotifyingHost (aIntervalID, b);
        else
            intervalEnd.store (b);
    }
    else if (request == couplingFromStart && ! intervalSyncGuard.load (std::memory_order_relaxed))
    {
        // Move the interval to start at "startposition", keeping its length;
        // push it back against the right edge when it would run past it.
        const float length = b - a;
        intervalSyncGuard.store (true, std::memory_order_relaxed);

        const float start = startpositionValue->load();

        if (start + length > 1.0f)
        {
            setParameterNotifyingHost (aIntervalID, 1.0f - length);
            setParameterNotifyingHost (bIntervalID, 1.0f);
        }
        else
        {
            setParameterNotifyingHost (aIntervalID, start);
            setParameterNotifyingHost (bIntervalID, startpositionValue->load() + length);
        }

        intervalSyncGuard.store (false, std::memory_order_relaxed);
    }
}

//==============================================================================
namespace
{
    bool canShowWindows()
    {
       #if JUCE_LINUX || JUCE_BSD
        if (std::getenv ("DISPLAY") == nullptr)
            return false;
       #endif

        return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }

    // A stored path as a file; a path that is not absolute names none (it
    // would be read against whatever folder the host runs in).
    juce::File storedFile (const juce::String& path)
    {
        return juce::File::isAbsolutePath (path) ? juce::File (path) : juce::File();
    }
}

juce::String KestruneAudioProcessor::imageAlertText (const juce::String& path)
{
    return "The image not found in the relevant path: " + path + "\n" + "Kestrune will not work properly.";
}

void KestruneAudioProcessor::showImageAlert (const juce::String& path)
{
    imageAlertsRequested.fetch_add (1);

    // Only where a window can appear: a headless render or a plug-in scan has
    // no display, and the box must not take such a host down.
    juce::MessageManager::callAsync ([text = imageAlertText (path)]
    {
        if (canShowWindows())
            juce::NativeMessageBox::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon,
                                                         "Kestrune Image Alert", text, nullptr, nullptr);
    });
}

juce::String KestruneAudioProcessor::saveAlertText (const juce::String& folder, const juce::String& reason)
{
    return "The pictures of this project could not be saved in: " + folder + "\n"
           + "(" + reason + ")\n" + "The project will not reopen with its picture and drawing.";
}

void KestruneAudioProcessor::showSaveAlert (const juce::File& folder, const juce::String& reason)
{
    saveAlertsRequested.fetch_add (1);

    juce::MessageManager::callAsync ([text = saveAlertText (folder.getFullPathName(), reason)]
    {
        if (canShowWindows())
            juce::NativeMessageBox::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon,
                                                         "Kestrune Image Alert", text, nullptr, nullptr);
    });
}

juce::String KestruneAudioProcessor::backWardCompatibilityFileSearch (juce::String& path)
{
    const auto name = path.fromLastOccurrenceOf ("/", false, false);
    const auto candidate = getFilePath (name);
    const juce::File inFolder (candidate);

    // Only what lies in the folder itself: a link there is not followed out.
    if (candidate.isNotEmpty() && (kestrune::files::isRegularFile (inFolder, false)
                                    || (inFolder.isDirectory() && ! inFolder.isSymbolicLink())))
        return candidate;

    return path;
}

juce::ValueTree KestruneAudioProcessor::copyState()
{
    const juce::ScopedLock sl (stateLock);
    auto state = apvts.copyState();

    if (state.isValid())
        stateChildren.addTo (state);

    return state;
}

juce::ValueTree KestruneAudioProcessor::getStateChild (const juce::Identifier& type)
{
    const juce::ScopedLock sl (stateLock);
    return apvts.state.isValid() ? stateChildren.copyOf (type) : juce::ValueTree();
}

void KestruneAudioProcessor::setWindowSizeToValueState (int width, int height)
{
    const juce::ScopedLock sl (stateLock);

    if (apvts.state.isValid())
    {
        stateChildren.setProperty ("lastSizeMainWindow", "width", width);
        stateChildren.setProperty ("lastSizeMainWindow", "height", height);
    }
}

void KestruneAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    // The state and the pictures in force are taken in one step (the paths
    // in the state and the pictures they name belong together), under the
    // locks; the pictures are encoded outside them: their handles are taken
    // under the edit lock, and their pixels never change once in place.
    //
    // While a picture waits for adoption the state is saved as it will be
    // once adopted: the new picture, the pen layer the adoption brings in
    // (none unless a kept one: "pathDraw" is then left out, so the new
    // layer's name, where later strokes go, is never named by this state),
    // and with the parameters it resets at their defaults. No bringer runs
    // while stateLock is held, so the only change the copy can meet is the
    // adoption itself; a copy it overlapped is taken again.
    juce::ValueTree state;
    juce::Image layer, picture;
    std::shared_ptr<PictureBytes> pictureBytes;
    juce::String layerPath, picturePath;
    std::array<std::optional<juce::String>, 2> carried;
    {
        const juce::ScopedLock st (stateLock);
        bool pending = false, keep = false;

        for (;;)
        {
            const auto waitingBefore = newImagePending.load (std::memory_order_acquire);
            state = copyState();
            const juce::ScopedLock sl (pictureEditLock);
            pending = newImagePending.load (std::memory_order_acquire);

            if (waitingBefore != pending)
                continue;

            keep = keepParams.load (std::memory_order_acquire);
            picture = loadedImage;
            pictureBytes = loadedImageBytes;
            picturePath = imageFilePath;
            layerPath = drawImagePath;

            if (pending)
                layer = keep ? loadedDrawImage : juce::Image();
            else if (drawLayer.isValid())
                layer = drawLayer;

            break;
        }

        carried = carriedCopies;

        if (auto paths = state.getChildWithName ("ImagePath");
            pending && ! layer.isValid() && ! carried[(int) PictureCopies::Kind::penLayer].has_value()
             && paths.getProperty ("pathDraw").toString().isNotEmpty())
        {
            layerPath = {};
            paths.setProperty ("pathDraw", juce::String(), nullptr);
        }

        if (pending && ! keep)
            for (const auto& id : resetParameterIDs())
                if (auto* param = apvts.getParameter (id))
                    state.getChildWithProperty ("id", id).setProperty ("value", param->convertFrom0to1 (param->getDefaultValue()), nullptr);
    }

    // The pictures go first, so that the blob can name the copies they got:
    // a name taken by a different picture gives a copy of its own. A path
    // whose picture or layer in force did not come from it (a restore that
    // found nothing there) keeps the record the restored state had.
    const auto folder = getImagesFolder();
    juce::StringArray failures;

    auto copyFor = [&] (PictureCopies::Kind kind, const juce::Image& image, const juce::String& path,
                        std::shared_ptr<const juce::MemoryBlock> bytes) -> juce::String
    {
        if (const auto& restored = carried[(int) kind]; restored.has_value())
            return *restored;

        if (path.isEmpty())
            return {};

        juce::String whyNot;
        const auto name = pictureCopies.save (kind, image, path, folder, std::move (bytes), &whyNot);

        if (name.isNotEmpty())
            return name;

        failures.addIfNotAlreadyThere (whyNot);
        return PictureCopies::noCopy;
    };

    const auto layerCopy = copyFor (PictureCopies::Kind::penLayer, layer, layerPath, nullptr);
    const auto pictureCopy = copyFor (PictureCopies::Kind::picture, picture, picturePath,
                                      pictureBytes != nullptr ? pictureBytes->get() : nullptr);
    PictureCopies::recordInState (state.getChildWithName ("ImagePath"), pictureCopy, layerCopy);

    failures.removeEmptyStrings();

    if (failures.isEmpty())
        saveAlertShown.store (false, std::memory_order_release);
    else if (! saveAlertShown.exchange (true, std::memory_order_acq_rel))
        showSaveAlert (folder, failures.joinIntoString ("; "));

    std::unique_ptr<juce::XmlElement> xml (state.createXml());
    copyXmlToBinary (*xml, destData);
}

void KestruneAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    auto xml = kestrune::state::readStateXml (data, sizeInBytes);

    // A blob that is not ours changes nothing: the running picture, its pen
    // strokes and its undo history stay as they are.
    if (xml == nullptr || ! xml->getTagName().equalsIgnoreCase (apvts.state.getType().toString()))
        return;

    auto tree = juce::ValueTree::fromXml (*xml);

    if (! tree.isValid())
        return;

    // Values that are not finite numbers count as missing.
    for (auto child : tree)
        if (child.hasType ("PARAM") && child.hasProperty ("value") && ! kestrune::state::isFiniteNumber (child.getProperty ("value")))
            child.removeProperty ("value", nullptr);

    // A state without picture paths gets an empty ImagePath, after the rest.
    if (! tree.getChildWithName ("ImagePath").isValid())
        tree.appendChild (juce::ValueTree ("ImagePath"), nullptr);

    const auto paths = tree.getChildWithName ("ImagePath").createCopy();
    const auto folder = getImagesFolder();

    juce::String currentPicturePath, currentLayerPath;
    {
        const juce::ScopedLock sl (pictureEditLock);
        currentPicturePath = imageFilePath;
        currentLayerPath = drawImagePath;
    }

    // Where a stored picture is looked for (the file system is touched
    // before anything comes into force, outside any lock). The copy the save
    // recorded comes first (see PictureCopies::locate). A state saved before
    // copies were recorded is looked up by name, as it always was.
    auto resolve = [&] (PictureCopies::Kind kind, const juce::String& current)
    {
        const auto stored = paths.getProperty (kind == PictureCopies::Kind::picture ? "path" : "pathDraw").toString();

        if (stored.isEmpty())
            return current;

        if (const auto located = PictureCopies::locate (paths, kind, folder))
            return located->getFullPathName();

        auto byName = stored;
        const auto found = storedFile (backWardCompatibilityFileSearch (byName));
        return kestrune::files::isRegularFile (found, true) || found.isDirectory() ? found.getFullPathName() : juce::String();
    };

    const auto picturePath = resolve (PictureCopies::Kind::picture, currentPicturePath);
    const auto layerPath = resolve (PictureCopies::Kind::penLayer, currentLayerPath);

    // Files of an images folder are read only as the regular files they are;
    // a stored path elsewhere may be a link to a picture. The picture keeps
    // its file's bytes, for its copy.
    auto readPicture = [&] (PictureCopies::Kind kind, const juce::String& path,
                            std::shared_ptr<const juce::MemoryBlock>* fileBytes)
    {
        const auto file = storedFile (path);
        return pictureCopies.read (kind, path, file, folder, fileBytes, ! PictureCopies::isInImagesFolder (file, folder));
    };

    juce::Image picture, layer;
    std::shared_ptr<const juce::MemoryBlock> pictureFileBytes;

    if (picturePath.isNotEmpty())
    {
        picture = readPicture (PictureCopies::Kind::picture, picturePath, &pictureFileBytes);
        layer = readPicture (PictureCopies::Kind::penLayer, layerPath, nullptr);
    }

    // Parameters are restored one by one in the order of their IDs, each to
    // its stored value or its default, so the interval coupling sees them in
    // a fixed order whatever the order of the elements.
    juce::StringArray ids;
    for (auto* p : getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (p))
            ids.add (ranged->paramID);

    std::sort (ids.begin(), ids.end(), [] (const juce::String& a, const juce::String& b) { return a.compare (b) < 0; });

    // Everything comes into force in one step under the state lock: a save
    // on another thread sees the state from before the restore or all of it,
    // never the restored values with the pictures from before.
    {
        const juce::ScopedLock st (stateLock);

        for (const auto& id : ids)
        {
            auto* param = apvts.getParameter (id);
            const auto child = tree.getChildWithProperty ("id", id);
            const auto plain = child.isValid() && child.hasType ("PARAM") && child.hasProperty ("value")
                                   ? (float) (double) child.getProperty ("value")
                                   : param->convertFrom0to1 (param->getDefaultValue());
            setParameterNotifyingHost (id, plain);
        }

        // Then the tree itself replaces the state. The value-tree state sets
        // each parameter again from the element that names it, and gives a
        // parameter that no element names an element of its own, set to its
        // default. So every element naming a parameter carries the value now
        // in force, and a parameter without one gets its element here,
        // appended after the others in ID order: the replacement then sets
        // nothing a second time.
        for (auto child : tree)
            if (auto* value = apvts.getRawParameterValue (child.getProperty ("id").toString()))
                child.setProperty ("value", value->load(), nullptr);

        for (const auto& id : ids)
        {
            if (! tree.getChildWithProperty ("id", id).isValid())
            {
                juce::ValueTree element ("PARAM");
                element.setProperty ("id", id, nullptr);
                element.setProperty ("value", apvts.getRawParameterValue (id)->load(), nullptr);
                tree.appendChild (element, nullptr);
            }
        }

        // The picture paths and the window's size do not go into the
        // value-tree state's tree (see StateChildren).
        StateChildren restoredChildren;
        restoredChildren.takeFrom (tree);
        apvts.replaceState (tree);
        stateChildren = std::move (restoredChildren);

        for (size_t k = 0; k < reflineValues.size(); ++k)
            if (reflineValues[k]->load() == 1.0f)
                refLineCount.store (1 << (int) k);

        // A stored path whose picture or layer is not the one in force after
        // this restore keeps the copy its state recorded, for every save
        // until something else is brought in for it.
        auto carry = [&] (PictureCopies::Kind kind, bool cameFromIt) -> std::optional<juce::String>
        {
            const auto property = kind == PictureCopies::Kind::picture ? "path" : "pathDraw";

            if (cameFromIt || paths.getProperty (property).toString().isEmpty())
                return std::nullopt;

            return PictureCopies::recordedName (paths, kind);
        };

        // Without a picture in force nothing is loaded, and the pen-layer
        // path is left as it was: pointing it at a stored drawing while the
        // running layer stays would let the next save overwrite that drawing.
        if (picturePath.isEmpty())
        {
            carriedCopies[(int) PictureCopies::Kind::picture] = carry (PictureCopies::Kind::picture, false);
            carriedCopies[(int) PictureCopies::Kind::penLayer] = carry (PictureCopies::Kind::penLayer, false);
            const juce::ScopedLock sl (pictureEditLock);
            imageFilePath = {};
        }
        else
        {
            carriedCopies[(int) PictureCopies::Kind::picture] = std::nullopt;
            carriedCopies[(int) PictureCopies::Kind::penLayer] = carry (PictureCopies::Kind::penLayer, layerPath.isNotEmpty());

            if (! picture.isValid())
                showImageAlert (picturePath);

            PictureHandOver handOver;
            handOver.parameters = PictureHandOver::Parameters::keep;
            handOver.picture = picture;
            handOver.pictureBytes = PictureBytes::ofFile (std::move (pictureFileBytes));
            handOver.penLayer = layer;
            handOver.picturePath = picturePath;
            handOver.penLayerPath = layerPath;
            handOverPicture (std::move (handOver));
        }
    }

    stateRestoredBroadcaster.sendChangeMessage();
}

//==============================================================================
void KestruneAudioProcessor::loadFile (const juce::String& path, bool keep)
{
    isLoading.store (true, std::memory_order_release);

    // Decoded before the hand-over takes the lock: the worker and the canvas wait on it.
    const auto file = juce::File::isAbsolutePath (path) ? juce::File (path)
                                                        : juce::File::getCurrentWorkingDirectory().getChildFile (path);
    PictureHandOver handOver;
    handOver.parameters = keep ? PictureHandOver::Parameters::keep : PictureHandOver::Parameters::reset;
    std::shared_ptr<const juce::MemoryBlock> fileBytes;
    handOver.picture = pictureCopies.read (PictureCopies::Kind::picture, path, file, getImagesFolder(), &fileBytes, true);
    handOver.pictureBytes = PictureBytes::ofFile (std::move (fileBytes)); // its copy will be the file itself
    handOver.picturePath = path;
    handOver.penLayerPath = nameImageDrawPath(); // every load starts a new pen-layer file

    {
        // The paths go into the state in the same step (see stateLock).
        const juce::ScopedLock sl (stateLock);
        handOverPicture (std::move (handOver));
        setImageDrawPathToValueState();
        setImagePathToValueState();
    }

    isLoading.store (false, std::memory_order_release);
}

//==============================================================================
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new KestruneAudioProcessor();
}
