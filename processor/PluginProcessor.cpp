#include "PluginProcessor.h"
#include "PluginEditor.h"
#include "PictureFiles.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include <fftw3.h>

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

    const auto defaultPath = getFilePath ("imageDegault.png");

    sourceImage = juce::Image (juce::Image::ARGB, 480, 330, true);
    iniImages(); // opaque black

    // Every instance on the machine rewrites this file, possibly at the same
    // moment: it is written aside and renamed into place.
    const bool defaultWritten = kestrune::pictures::writePngReplacing (sourceImage, juce::File (defaultPath), 16384);

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
    imageFilePath = defaultPath;
    auto decoded = kestrune::pictures::decodePictureFile (juce::File (defaultPath));

    if (! kestrune::pictures::isOpaqueBlack (decoded, 480, 330))
        decoded = defaultWritten ? sourceImage.createCopy() : juce::Image();

    loadedImage = decoded;
    pendingGeneration.fetch_add (1, std::memory_order_release);
    newImagePending.store (true, std::memory_order_release);

    {
        // Adopt at once. The lock is shared with other instances' workers, so
        // wait for it here rather than let the adoption's try-lock miss it.
        const juce::ScopedLock sl (criticalSection);
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
        {
            const juce::ScopedLock sl (criticalSection);
            changeColourFunction();
        }

        // The windows' copies of the new picture, scaled outside the lock.
        finishedPicture.renderDisplayCopies();

        workerPasses.fetch_add (1, std::memory_order_release);

        wait (44);
    }
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
// Filter transforms
extern "C" void fftwf_set_planner_hooks (void (*before)(), void (*after)());

namespace
{
    std::mutex& fftwPlannerMutex()
    {
        static std::mutex mutex;
        return mutex;
    }
}

RealTransformPair::RealTransformPair (float* samples, float* bins, int size)
{
    // FFTW's planner is not reentrant. Its hooks serialise every planning
    // and plan destruction in the process (other instances, JUCE's own FFT
    // objects) on one mutex.
    static std::once_flag threadSafePlanner;
    std::call_once (threadSafePlanner, []
    {
        fftwf_set_planner_hooks ([] { fftwPlannerMutex().lock(); },
                                 [] { fftwPlannerMutex().unlock(); });
    });

    auto* complexBins = reinterpret_cast<fftwf_complex*> (bins);
    forwardPlan = fftwf_plan_dft_r2c_1d (size, samples, complexBins, FFTW_ESTIMATE);
    inversePlan = fftwf_plan_dft_c2r_1d (size, complexBins, samples, FFTW_ESTIMATE);
    jassert (forwardPlan != nullptr && inversePlan != nullptr);
}

RealTransformPair::~RealTransformPair()
{
    fftwf_destroy_plan (forwardPlan);
    fftwf_destroy_plan (inversePlan);
}

void RealTransformPair::forward (float* samples, float* bins) const noexcept
{
    fftwf_execute_dft_r2c (forwardPlan, samples, reinterpret_cast<fftwf_complex*> (bins));
}

void RealTransformPair::inverse (float* bins, float* samples) const noexcept
{
    fftwf_execute_dft_c2r (inversePlan, reinterpret_cast<fftwf_complex*> (bins), samples);
}

//==============================================================================
// Audio block driver
namespace
{
    constexpr int filterLatency = 2048;
    constexpr int dryRingSize = 4096;
    constexpr int overlapRingSize = 4096;

    // Copies `count` samples out of a power-of-two ring starting at `index`.
    void copyFromRing (float* dest, const float* ring, int ringSize, int index, int count) noexcept
    {
        const auto first = juce::jmin (count, ringSize - index);
        std::memcpy (dest, ring + index, (size_t) first * sizeof (float));
        std::memcpy (dest + first, ring, (size_t) (count - first) * sizeof (float));
    }

    void copyToRing (float* ring, int ringSize, int index, const float* source, int count) noexcept
    {
        const auto first = juce::jmin (count, ringSize - index);
        std::memcpy (ring + index, source, (size_t) first * sizeof (float));
        std::memcpy (ring, source + first, (size_t) (count - first) * sizeof (float));
    }
}

void KestruneAudioProcessor::prepareAudioPath (double sampleRate, int maximumBlockSize, int channels)
{
    const auto blockSize = juce::jmax (1, maximumBlockSize);
    mixerChannels = juce::jmax (1, channels);
    audioChunkSize = juce::jmin (filterLatency, blockSize);

    dryWetMixer.prepare ({ sampleRate > 0.0 ? sampleRate : 44100.0, (juce::uint32) blockSize,
                           (juce::uint32) mixerChannels });
    dryWetMixer.setMixingRule (juce::dsp::DryWetMixingRule::sin6dB);
}

void KestruneAudioProcessor::prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock)
{
    setLatencySamples (filterLatency);
    currentSampleRate = (float) sampleRate;
    recordSampleRate.store (sampleRate, std::memory_order_relaxed);

    attackRamp.setCurrentAndTargetValue (attackRamp.getTargetValue());
    decayRamp.setCurrentAndTargetValue (decayRamp.getTargetValue());

    prepareAudioPath (sampleRate, maximumExpectedSamplesPerBlock, getTotalNumInputChannels());
}

void KestruneAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    const auto bufferChannels = buffer.getNumChannels();
    numChannels = bufferChannels;

    if (numChannels == 0)
        return;

    const auto totalIn = getTotalNumInputChannels();
    const auto totalOut = getTotalNumOutputChannels();

    if (totalIn <= 2)
        numChannels = totalIn;

    // The rings and the filter hold two channels, and a buffer may be
    // narrower than the bus layout claims.
    numChannels = juce::jmin (numChannels, bufferChannels, 2);

    const auto n = buffer.getNumSamples();
    const auto outputEnd = juce::jmin (bufferChannels, totalOut >= 3 ? totalOut : totalIn);

    for (int ch = totalIn; ch < outputEnd; ++ch)
        buffer.clear (ch, 0, n);

    checkAndLoadFile();

    if (spectrumMode.load() != 1)
        showIncomingAudioSPectrum (buffer);

    auto* playHead = getPlayHead();

    if (playHead == nullptr)
        return;

    double hostTempo = 120.0, ppq = 0.0;
    bool playing = false;

    if (const auto position = playHead->getPosition())
    {
        // A tempo that is not a number counts as missing: it would stop
        // the beat counts of Random mode and of a running capture for good.
        if (const auto bpm = position->getBpm())
            if (std::isfinite (*bpm))
                hostTempo = *bpm;

        if (const auto ppqPosition = position->getPpqPosition())
            ppq = *ppqPosition;

        playing = position->getIsPlaying();
    }

    const auto tempo = (float) hostTempo;
    blockTempo = tempo;
    blockPpq = ppq;
    blockPlaying = playing;

    beatsPerSample = (float) (((double) tempo / 60.0) / (double) currentSampleRate);

    isPlaying = playing;

    if (! playing)
        clearRandomTriggers();

    const GreyFrame& frame = outputFrames.acquire();

    if (frame.isEmpty())
        return;

    const auto width = frame.width;

    if (recordArmed.load() && playing)
    {
        runRecordCapture (buffer);
        return;
    }

    const auto randomMode = directionValues[3]->load() == 1.0f;

    if (! randomMode)
        updateScanPosition (ppq, width);

    dryWetMixer.setWetMixProportion (drywetValue->load());

    const auto mixed = juce::jmin (numChannels, mixerChannels);
    const auto chunkSize = juce::jlimit (1, filterLatency, audioChunkSize);

    for (int start = 0; start < n; start += chunkSize)
    {
        const auto length = juce::jmin (chunkSize, n - start);
        juce::AudioBuffer<float> chunk (buffer.getArrayOfWritePointers(), bufferChannels, start, length);

        runDryPath (buffer, start, length);

        if (mixed > 0)
            dryWetMixer.pushDrySamples (juce::dsp::AudioBlock<const float> (dryScratch)
                                            .getSubsetChannelBlock (0, (size_t) mixed)
                                            .getSubBlock (0, (size_t) length));

        filterSamples (buffer, frame, start, length, randomMode);

        if (randomMode)
            applyRandomEnvelope (chunk);

        if (spectrumMode.load() == 1)
            showIncomingAudioSPectrum (chunk);

        if (mixed > 0)
            dryWetMixer.mixWetSamples (juce::dsp::AudioBlock<float> (buffer)
                                           .getSubsetChannelBlock (0, (size_t) mixed)
                                           .getSubBlock ((size_t) start, (size_t) length));
    }

    if (! playing)
        for (int ch = 0; ch < outputEnd; ++ch)
            buffer.clear (ch, 0, n);
}

void KestruneAudioProcessor::updateScanPosition (double ppq, int width)
{
    const auto a = aIntervalValue->load();
    const auto b = bIntervalValue->load();
    const auto len = b - a;
    const auto cycle = (float) (ppq / (4.0 * (double) barduratiomValue->load()));
    const auto frac = std::fmod (cycle, len);

    auto pos = 0.0f;

    if (directionValues[0]->load() == 1.0f)
        pos = a + frac;

    if (directionValues[1]->load() == 1.0f)
        pos = a + len - frac;

    if (directionValues[2]->load() == 1.0f)
    {
        if (std::abs (frac - scanPhase.load()) > len * 0.5f)
            frwdBackSign = frwdBackSign == 1.0f ? -1.0f : 1.0f;

        pos = frwdBackSign == 1.0f ? a + frac : a + len - frac;

        // An empty interval has no fraction; keeping the last one lets the
        // scan turn at the interval's ends again once it is widened.
        if (! std::isnan (frac))
            scanPhase = frac;
    }

    if (std::isnan (pos))
        pos = a;

    setScanColumns ((float) width * pos, width);
}

void KestruneAudioProcessor::setScanColumns (float centre, int width)
{
    // The two channels read "wider" / 2 to each side of the centre, kept on
    // the picture.
    const auto halfWidth = widerValue->load() * 0.5f;
    const auto lastColumn = (float) (width - 1);

    auto clampColumn = [lastColumn] (float c) { return c < 0.0f ? 0.0f : juce::jmin (c, lastColumn); };

    scanColumnLeft.store (clampColumn (centre - halfWidth), std::memory_order_relaxed);
    scanColumnRight.store (clampColumn (centre + halfWidth), std::memory_order_relaxed);
}

void KestruneAudioProcessor::runDryPath (const juce::AudioBuffer<float>& buffer, int start, int length)
{
    // length never exceeds 2048, so writing the whole piece before reading
    // delays every sample by exactly the ring's 2048-sample distance.
    for (int c = 0; c < numChannels; ++c)
    {
        copyToRing (dryDelayBuffer.getWritePointer (c), dryRingSize, dryWriteIndex,
                    buffer.getReadPointer (c, start), length);
        copyFromRing (dryScratch.getWritePointer (c), dryDelayBuffer.getReadPointer (c), dryRingSize,
                      dryReadIndex, length);
    }

    dryWriteIndex = (dryWriteIndex + length) % dryRingSize;
    dryReadIndex = (dryReadIndex + length) % dryRingSize;
}

//==============================================================================
// Image filter
void KestruneAudioProcessor::filterSamples (juce::AudioBuffer<float>& buffer, const GreyFrame& frame,
                                            int start, int length, bool randomMode)
{
    // The per-sample step, taken a run of samples at a time: a run ends where
    // a hop completes. Reading the run's output after the hop is the same as
    // reading it sample by sample, because a hop only adds to ring entries
    // the reader reaches after the run.
    int i = 0;

    while (i < length)
    {
        const auto run = juce::jmin (hopSize - hopFill, length - i);

        for (int c = 0; c < numChannels; ++c)
            std::memcpy (hopFrames[c] + hopFill, buffer.getReadPointer (c, start + i), (size_t) run * sizeof (float));

        if (randomMode)
            for (int j = 0; j < run; ++j)
                randomJump (start + i + j, i + j, frame.width);

        hopFill += run;

        if (hopFill >= hopSize)
        {
            runHop (frame);
            ringWriteIndex = (ringWriteIndex + hopSize) % overlapRingSize;
            hopFill = 0;
        }

        for (int c = 0; c < numChannels; ++c)
        {
            auto* ring = overlapRing[c];
            copyFromRing (buffer.getWritePointer (c, start + i), ring, overlapRingSize, ringReadIndex, run);

            const auto first = juce::jmin (run, overlapRingSize - ringReadIndex);
            std::fill (ring + ringReadIndex, ring + ringReadIndex + first, 0.0f);
            std::fill (ring, ring + (run - first), 0.0f);
        }

        ringReadIndex = (ringReadIndex + run) % overlapRingSize;
        i += run;
    }
}

void KestruneAudioProcessor::buildBinTable (int height)
{
    binTableHeight = height;

    for (int k = 0; k < numBins; ++k)
    {
        const auto y = (float) ((1.0 - std::pow (1.0 - (double) k / 1024.0, 5.0)) * (double) height);
        const auto yi = (int) y;
        const auto low = height - 1 - yi;
        const auto high = yi < height - 1 ? height - 2 - yi : low;

        binRowLow[k] = low >= 0 && low < height ? low : -1;
        binRowHigh[k] = high >= 0 && high < height ? high : -1;
        binFraction[k] = y - (float) yi;
    }

    // The row rises with the bin, so the bins reading no row are the top ones.
    binsReadingRows = numBins;
    while (binsReadingRows > 0 && binRowLow[binsReadingRows - 1] < 0 && binRowHigh[binsReadingRows - 1] < 0)
        --binsReadingRows;

    for (int k = 0; k < binsReadingRows; ++k)
        if (binRowLow[k] < 0 || binRowHigh[k] < 0)
            binsReadingRows = k; // not expected; keeps the fast loop's reads inside the column

    const auto rows = juce::jmin (height, fftSize);

    for (int r = 0; r < rows; ++r)
    {
        const auto curve = 1.0f - std::exp (0.2f * std::log (1.0f - (float) r / (float) height));
        playedColumnBin[r] = juce::jlimit (0, numBins - 1, (int) (curve * 1024.0f));
    }
}

void KestruneAudioProcessor::runHop (const GreyFrame& frame)
{
    const auto contrast = effectapplyValue->load();
    const auto smoothing = smootheforYAxisValue->load();

    // A frame whose pixels do not cover its size is read as a picture of
    // height 0 (every bin grey 0) rather than past its end.
    const auto usable = ! frame.isEmpty()
                         && frame.grey.size() >= (size_t) frame.width * (size_t) frame.height;
    const auto height = usable ? frame.height : 0;

    if (height != binTableHeight)
        buildBinTable (height);

    const float* previousPixels = nullptr;

    for (int c = 0; c < numChannels; ++c)
    {
        const auto column = (c == 0 ? scanColumnLeft : scanColumnRight).load();
        const float* pixels = nullptr;

        if (usable && column >= 0.0f && column < (float) frame.width)
            pixels = frame.grey.data() + (size_t) (int) column * (size_t) height;

        // Both channels often read the same column ("wider" 0).
        if (c == 0 || pixels != previousPixels)
            computeRawGains (pixels);

        previousPixels = pixels;

        shapeGains (contrast, smoothing, binGains[c]);
        publishPlayedColumn (binGains[c], height);
        filterChannel (c, binGains[c]);
    }

    historyStart = (historyStart + hopSize) % fftSize;

    const auto first = juce::jmin (fftSize, overlapRingSize - ringWriteIndex);

    for (int c = 0; c < numChannels; ++c)
    {
        juce::FloatVectorOperations::add (overlapRing[c] + ringWriteIndex, fftBuffers[c], first);
        juce::FloatVectorOperations::add (overlapRing[c], fftBuffers[c] + first, fftSize - first);
    }
}

void KestruneAudioProcessor::computeRawGains (const float* column)
{
    auto* gains = rawGains;

    if (column == nullptr)
    {
        std::fill (gains, gains + numBins, 0.0f); // every bin reads grey 0, and 1 - 1^0.2 is 0
        rawGainMin = rawGainMax = 0.0f;
        return;
    }

    // The curve is a pure function of g: neighbouring bins with the same
    // grey (flat areas, the top row, black) reuse the previous result.
    auto lastGrey = 0.0f, lastGain = 0.0f;
    auto lowest = std::numeric_limits<float>::max(), highest = std::numeric_limits<float>::lowest();

    auto gainFor = [&] (float g)
    {
        if (g != lastGrey)
        {
            lastGrey = g;
            lastGain = 1.0f - std::pow (1.0f - g, 0.2f);
            lowest = juce::jmin (lowest, lastGain);
            highest = juce::jmax (highest, lastGain);
        }

        return lastGain;
    };

    const auto end = binsReadingRows;

    for (int k = 0; k < end; ++k)
    {
        const auto f = binFraction[k];
        gains[k] = gainFor (f * column[binRowHigh[k]] + (1.0f - f) * column[binRowLow[k]]);
    }

    for (int k = end; k < numBins; ++k)
    {
        const auto low = binRowLow[k], high = binRowHigh[k];
        const auto g1 = low >= 0 ? column[low] : 0.0f;
        const auto g2 = high >= 0 ? column[high] : 0.0f;
        const auto f = binFraction[k];
        gains[k] = gainFor (f * g2 + (1.0f - f) * g1);
    }

    // Bins that reused the start value 0 without computing it.
    if (gains[0] == 0.0f || lowest > highest)
    {
        lowest = juce::jmin (lowest, 0.0f);
        highest = juce::jmax (highest, 0.0f);
    }

    rawGainMin = lowest;
    rawGainMax = highest;
}

void KestruneAudioProcessor::shapeGains (float contrast, float smoothing, float* gains)
{
    // Contrast around the mid value.
    const auto mid = (rawGainMin + rawGainMax) * 0.5f;
    const auto offset = juce::jmin (contrast < 1.0f ? mid : contrast * mid, 0.5f);

    {
        const float* __restrict raw = rawGains;
        float* __restrict out = gains;

        for (int k = 0; k < numBins; ++k)
            out[k] = std::max (-0.5f, std::min (0.5f, (raw[k] - mid) * contrast)) + offset;
    }

    // Smoothing across bins; the state carries over channels and hops.
    // Without smoothing each step yields the gain itself.
    if (smoothing == 0.0f && std::isfinite (binSmoothState))
    {
        binSmoothState = gains[numBins - 1];
        return;
    }

    auto state = binSmoothState;
    const auto keep = 1.0f - smoothing;

    for (int k = 0; k < numBins; ++k)
    {
        state = state * smoothing + gains[k] * keep;
        gains[k] = state;
    }

    binSmoothState = state;
}

void KestruneAudioProcessor::publishPlayedColumn (const float* gains, int height)
{
    if (nextColumnReady.load (std::memory_order_acquire))
        return;

    const auto rows = juce::jmin (height, fftSize);

    for (int r = 0; r < rows; ++r)
        playedColumn[r] = gains[playedColumnBin[r]];

    nextColumnReady.store (true, std::memory_order_release);
}

void KestruneAudioProcessor::filterChannel (int channel, const float* gains)
{
    auto* history = inputHistory[channel];
    auto* data = fftBuffers[channel];

    // The newest hop replaces the oldest; the window is applied while the
    // ring is read out oldest first.
    std::memcpy (history + historyStart, hopFrames[channel], (size_t) hopSize * sizeof (float));
    const auto oldest = (historyStart + hopSize) % fftSize;
    const auto head = fftSize - oldest;

    juce::FloatVectorOperations::multiply (data, history + oldest, windowTable, head);
    juce::FloatVectorOperations::multiply (data + head, history, windowTable + head, oldest);
    filterTransforms.forward (data, spectrumBins);

    // Bins 0 to 1023 as (real, imaginary) pairs. The inverse's 1/2048 joins
    // the gain (a power of two: no extra rounding).
    constexpr auto factor = 0.33f / (float) fftSize;

    {
        float* __restrict bins = spectrumBins;
        const float* __restrict g = gains;

        for (int k = 0; k < numBins; ++k)
        {
            const auto scale = g[k] * factor;
            bins[2 * k] *= scale;
            bins[2 * k + 1] *= scale;
        }
    }

    // The Nyquist bin follows the top bin. Left unscaled it would carry
    // content near half the sample rate through any picture, black included,
    // at about four times its level.
    spectrumBins[2 * numBins] *= gains[numBins - 1] * factor;
    spectrumBins[2 * numBins + 1] = 0.0f;

    filterTransforms.inverse (spectrumBins, data);
    juce::FloatVectorOperations::multiply (data, windowTable, fftSize);
}

//==============================================================================
// Random mode
namespace
{
    // The note unit's length in beats; the choice always indexes the table.
    float noteUnitBeats (const std::vector<float>& noteBeats, float choice) noexcept
    {
        if (noteBeats.empty())
            return 1.0f;

        return noteBeats[(size_t) juce::jlimit (0, (int) noteBeats.size() - 1, (int) choice)];
    }

    // Longest note the envelope counts: keeps every ramp length (up to five
    // note lengths) inside an int.
    constexpr double longestNoteSamples = (double) (1 << 28);
}

void KestruneAudioProcessor::randomJump (int sampleInBlock, int sampleInChunk, int width)
{
    const auto unit = noteUnitBeats (noteBeats, randomizespeedValue->load());
    const auto beats = (float) sampleInBlock * beatsPerSample;
    const auto phase = std::fmod ((float) ((double) beats + blockPpq), unit);

    const auto a = aIntervalValue->load();
    const auto widthPixels = (float) width;
    float centre;

    if (! blockPlaying)
    {
        centre = a * widthPixels;
    }
    else
    {
        centre = (scanColumnLeft.load (std::memory_order_relaxed)
                    + scanColumnRight.load (std::memory_order_relaxed)) * 0.5f;

        if (phase - scanPhase.load (std::memory_order_relaxed) < 0.0f)
        {
            const auto r = jumpRandom.nextFloat();
            const auto b = bIntervalValue->load();

            // The note starts 2048 envelope samples on, counted from this
            // sample of the piece the envelope pass sees next.
            triggerList.push (envelopeClock + sampleInChunk + 2048);
            centre = (r * (b - a) + a) * widthPixels;
        }

        scanPhase.store (phase, std::memory_order_relaxed);
    }

    setScanColumns (centre, width);
}

void KestruneAudioProcessor::clearRandomTriggers()
{
    triggerList.clear();
}

void KestruneAudioProcessor::applyRandomEnvelope (juce::AudioBuffer<float>& chunk)
{
    const auto n = chunk.getNumSamples();

    if (n <= 0)
        return;

    // The note length in samples. A host tempo of 0 or below (or not a
    // number) would make it infinite or negative; such a tempo counts as the
    // missing one, 120 beats per minute.
    const auto tempo = blockTempo > 0.0f ? blockTempo : 120.0f;
    const auto unit = noteUnitBeats (noteBeats, randomizespeedValue->load());
    const auto exactLength = (double) (unit * currentSampleRate) / (double) (tempo / 60.0f);
    const auto samplesPerUnit = std::isfinite (exactLength)
                                    ? (int) juce::jlimit (0.0, longestNoteSamples, exactLength)
                                    : 0;

    auto startNote = [this, samplesPerUnit]
    {
        const auto attack = attackValue->load();
        const auto decay = decayValue->load();

        attackRamp.setCurrentAndTargetValue (0.0f);
        attackRamp.reset ((int) (attack * (float) samplesPerUnit));
        attackRamp.setTargetValue (1.0f);

        decayRamp.setCurrentAndTargetValue (1.0f);
        decayRamp.reset ((int) (decay * decay * (float) samplesPerUnit * 5.0));
        decayRamp.setTargetValue (0.0f);

        fadeCounter = samplesPerUnit;
    };

    const auto channels = juce::jmin (numChannels, chunk.getNumChannels(), 2);
    float* samples[2] {};

    for (int c = 0; c < channels; ++c)
        samples[c] = chunk.getWritePointer (c);

    for (int j = 0; j < n; ++j)
    {
        ++envelopeClock;

        while (! triggerList.empty() && triggerList.front() <= envelopeClock)
        {
            startNote();
            triggerList.pop();
        }

        // Without a new note the counter runs on below 0 (fade 1); it stops
        // short of wrapping around.
        if (fadeCounter > std::numeric_limits<int>::min())
            --fadeCounter;

        const auto fade = fadeCounter >= 0 && fadeCounter < 1024 ? (float) fadeCounter / 1024.0f : 1.0f;
        const auto at = attackRamp.getNextValue();
        const auto de = decayRamp.getNextValue();

        envelopeGain = (float) ((double) fade * (0.5 * (double) envelopeGain + 0.5 * (double) at * (double) de));

        for (int c = 0; c < channels; ++c)
            samples[c][j] *= envelopeGain;
    }
}

//==============================================================================
namespace
{
    // Sample i of the processed channels mixed to mono: summed in double and
    // divided by the number of processed channels.
    float monoMix (const float* const* input, int channels, int numChannels, int i)
    {
        if (numChannels <= 0)
            return 0.0f;

        double sum = 0.0;

        for (int c = 0; c < channels; ++c)
            sum += (double) input[c][i];

        return (float) (sum / (double) numChannels);
    }
}

//==============================================================================
// Spectrum feed
void KestruneAudioProcessor::showIncomingAudioSPectrum (juce::AudioBuffer<float>& buffer)
{
    const auto n = buffer.getNumSamples();

    if (n < 1)
        return;

    const auto silent = spectrumMode.load (std::memory_order_relaxed) >= 2;
    const auto channels = juce::jmin (numChannels, buffer.getNumChannels(), 2);
    const float* input[2] {};

    for (int c = 0; c < channels; ++c)
        input[c] = buffer.getReadPointer (c);

    for (int i = 0; i < n; ++i)
    {
        const auto v = silent ? 0.0f : monoMix (input, channels, numChannels, i);

        if (spectrumFifoFill == fftSize)
        {
            spectrumFifoFill = 0;

            // A frame the view has not taken yet stays; this one is dropped.
            if (! nextFFTBlockReady.load (std::memory_order_acquire))
            {
                std::fill (fftData + fftSize, fftData + 2 * fftSize, 0.0f);
                std::copy (spectrumFifo, spectrumFifo + fftSize, fftData);
                nextFFTBlockReady.store (true, std::memory_order_release);
            }
        }

        spectrumFifo[spectrumFifoFill++] = v;
    }
}

//==============================================================================
// Record capture
RecordedFrameStore::~RecordedFrameStore()
{
    delete storage.load();
}

std::vector<RecordedFrameStore::Frame>* RecordedFrameStore::swapOut (std::vector<Frame>* replacement)
{
    // Both sides use sequentially consistent order here: either the writer
    // saw the replacement, or this thread sees the writer still at work and
    // waits for it to let go of the storage it took.
    auto* previous = storage.exchange (replacement, std::memory_order_seq_cst);

    while (writing.load (std::memory_order_seq_cst))
        std::this_thread::yield();

    return previous;
}

void RecordedFrameStore::reserve (size_t frames)
{
    auto* held = swapOut (nullptr);
    const auto used = held != nullptr ? held->size() : 0;

    if (held != nullptr && held->capacity() - used >= frames)
    {
        storage.store (held, std::memory_order_seq_cst);
        return;
    }

    std::unique_ptr<std::vector<Frame>> grown;

    try
    {
        grown = std::make_unique<std::vector<Frame>>();
        grown->reserve (used + frames);

        if (held != nullptr)
            grown->insert (grown->end(), held->begin(), held->end());
    }
    catch (const std::exception&)
    {
        // No memory for that much: keep what there is; a capture then ends
        // when its room is used up.
        storage.store (held, std::memory_order_seq_cst);
        return;
    }

    storage.store (grown.release(), std::memory_order_seq_cst);
    delete held;
}

std::vector<RecordedFrameStore::Frame> RecordedFrameStore::take()
{
    std::unique_ptr<std::vector<Frame>> held (swapOut (nullptr));
    std::vector<Frame> frames;

    if (held != nullptr)
        frames = std::move (*held);

    return frames;
}

RecordedFrameStore::Writer::Writer (RecordedFrameStore& s) noexcept
    : store (s)
{
    store.writing.store (true, std::memory_order_seq_cst);
    frames = store.storage.load (std::memory_order_seq_cst);
}

RecordedFrameStore::Writer::~Writer()
{
    store.writing.store (false, std::memory_order_release);
}

RecordedFrameStore::Frame* RecordedFrameStore::Writer::append() noexcept
{
    if (frames == nullptr || frames->size() >= frames->capacity())
        return nullptr;

    frames->emplace_back(); // within the reserved room: no allocation
    return &frames->back();
}

size_t KestruneAudioProcessor::longestCaptureFrames (double sampleRate)
{
    const auto rate = std::isfinite (sampleRate) ? juce::jlimit (1.0, 768000.0, sampleRate) : 44100.0;
    const auto seconds = 20.0 * 4.0 * 60.0 / 20.0; // 20 bars of 4 beats at 20 beats per minute
    const auto frames = (size_t) std::ceil (seconds * rate / (double) fftSize);

    // One more for a frame carried over from an earlier capture, one for the
    // beats a capture runs over its length.
    return frames + 2;
}

void KestruneAudioProcessor::armRecord()
{
    if (recordArmed.load (std::memory_order_acquire))
        return;

    recordedFrames.reserve (longestCaptureFrames (recordSampleRate.load (std::memory_order_relaxed)));
    recordArmed.store (true, std::memory_order_release);
}

std::vector<RecordedFrameStore::Frame> KestruneAudioProcessor::takeRecordedFrames()
{
    return recordedFrames.take();
}

void KestruneAudioProcessor::postRecordMessage() noexcept
{
    // The flags are set before this, so the listener sees them.
    recordMessagesPending.fetch_add (1, std::memory_order_release);
}

void KestruneAudioProcessor::RecordMessenger::timerCallback()
{
    if (owner.recordMessagesPending.exchange (0, std::memory_order_acquire) > 0)
        owner.recordBroadcaster.sendChangeMessage();
}

void KestruneAudioProcessor::completeRecordFrame (RecordedFrameStore::Frame& frame) noexcept
{
    juce::FloatVectorOperations::multiply (recordFrame, windowTable, fftSize);
    filterTransforms.forward (recordFrame, recordBins);

    // Magnitudes of all 2048 bins of the real frame: bin 2048 - k mirrors
    // bin k. The upper half of the frame stays 0.
    for (int k = 0; k <= fftSize / 2; ++k)
    {
        const auto re = recordBins[2 * k], im = recordBins[2 * k + 1];
        const auto magnitude = std::sqrt (re * re + im * im);
        frame[(size_t) k] = magnitude;

        if (k > 0 && k < fftSize / 2)
            frame[(size_t) (fftSize - k)] = magnitude;
    }
}

void KestruneAudioProcessor::runRecordCapture (juce::AudioBuffer<float>& buffer)
{
    const auto n = buffer.getNumSamples();

    if (n == 0)
        return;

    auto base = scanPhase.load (std::memory_order_relaxed);
    auto previous = base;
    const auto bar = (float) blockPpq;
    const auto captureBeats = 4.0f * barduratiomValue->load();
    const auto silent = spectrumMode.load (std::memory_order_relaxed) >= 2;
    const auto channels = juce::jmin (numChannels, buffer.getNumChannels(), 2);

    const float* input[2] {};

    for (int c = 0; c < channels; ++c)
        input[c] = buffer.getReadPointer (c);

    RecordedFrameStore::Writer writer (recordedFrames);

    auto endCapture = [this]
    {
        recordArmed.store (false, std::memory_order_release);
        recordCapturing.store (false, std::memory_order_release);
        postRecordMessage();
    };

    for (int i = 0; i < n; ++i)
    {
        auto capturing = recordCapturing.load (std::memory_order_acquire);
        const auto beats = (float) i * beatsPerSample;
        auto phase = capturing ? std::fmod (beats + base, captureBeats)
                               : std::fmod (beats + bar, 4.0f);

        if (phase - previous < 0.0f)
        {
            if (capturing)
            {
                endCapture();
                scanPhase.store (phase, std::memory_order_relaxed);
                return; // the rest of the block passes; no new capture starts
            }

            // Disarmed from the message thread during this block: start nothing.
            if (! recordArmed.load (std::memory_order_acquire))
                return;

            base = 0.0f;
            capturing = true;
            recordCapturing.store (true, std::memory_order_release);
            postRecordMessage();

            // From here the capture's own cycle counts. Kept as the bar
            // phase, a start away from the bar line (a phase left by another
            // mode, or a host jumping back) would read as the capture cycle
            // wrapping at the very next sample and end the capture at once.
            phase = std::fmod (beats + base, captureBeats);
        }

        previous = phase;
        scanPhase.store (phase, std::memory_order_relaxed);

        if (! capturing)
            continue;

        const auto mono = silent ? 0.0f : monoMix (input, channels, numChannels, i);

        if (recordFill == fftSize)
        {
            auto* frame = writer.append();

            if (frame == nullptr)
            {
                // No room left (or none reserved): the capture ends here, the
                // full frame waits for the next capture.
                endCapture();
                return;
            }

            completeRecordFrame (*frame);
            recordFill = 0;
        }

        recordFrame[recordFill++] = mono;
    }
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
    // Our state is two elements deep. The XML parser recurses once per level,
    // so a blob nested thousands deep could exhaust the host's stack; such a
    // blob is refused before it is parsed.
    bool nestingDepthWithin (const char* text, size_t length, int limit)
    {
        int depth = 0;

        for (size_t i = 0; i + 1 < length; ++i)
        {
            if (text[i] != '<')
                continue;

            const auto next = text[i + 1];

            if (next == '/')
            {
                --depth;
                continue;
            }

            if (next == '?' || next == '!')
                continue;

            // An opening tag: find its end, skipping quoted attribute values.
            char quote = 0;
            size_t j = i + 1;

            for (; j < length; ++j)
            {
                const auto c = text[j];

                if (quote != 0)
                {
                    if (c == quote)
                        quote = 0;
                }
                else if (c == '"' || c == '\'')
                {
                    quote = c;
                }
                else if (c == '>')
                {
                    break;
                }
            }

            const bool selfClosing = j < length && text[j - 1] == '/';

            if (! selfClosing && ++depth > limit)
                return false;

            i = j;
        }

        return true;
    }

    // Parses a state blob the way the framework's reader does, with the
    // nesting check in front of the parser.
    std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes)
    {
        if (data == nullptr || sizeInBytes < 9)
            return {};

        const auto* bytes = static_cast<const char*> (data);

        if (juce::ByteOrder::littleEndianInt (bytes) != juce::ByteOrder::littleEndianInt ("VC2!"))
            return {};

        const auto storedLength = (int) juce::ByteOrder::littleEndianInt (bytes + 4);

        if (storedLength <= 0)
            return {};

        const auto length = (size_t) juce::jmin (sizeInBytes - 8, storedLength);

        if (! nestingDepthWithin (bytes + 8, length, 32))
            return {};

        // The framework's text and XML readers trust the UTF-8 they are given:
        // a sequence cut off by the end of the text makes them read past it.
        if (! juce::CharPointer_UTF8::isValidString (bytes + 8, (int) length))
            return {};

        return juce::parseXML (juce::String::fromUTF8 (bytes + 8, (int) length));
    }

    bool isFiniteNumber (const juce::var& v)
    {
        if (v.isString())
        {
            const auto text = v.toString().trim();

            if (text.isEmpty() || ! text.containsOnly ("0123456789+-.eE"))
                return false;
        }

        return std::isfinite ((float) (double) v);
    }

    bool canShowWindows()
    {
       #if JUCE_LINUX || JUCE_BSD
        if (std::getenv ("DISPLAY") == nullptr)
            return false;
       #endif

        return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    }

    juce::Image decodeStoredPicture (const juce::String& path)
    {
        if (path.isEmpty())
            return {};

        return kestrune::pictures::decodePictureFile (juce::File (path));
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

juce::String KestruneAudioProcessor::backWardCompatibilityFileSearch (juce::String& path)
{
    const auto name = path.fromLastOccurrenceOf ("/", false, false);
    const auto candidate = getFilePath (name);

    if (candidate.isNotEmpty() && juce::File (candidate).exists())
        return candidate;

    return path;
}

void KestruneAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    auto state = apvts.copyState();
    std::unique_ptr<juce::XmlElement> xml (state.createXml());
    copyXmlToBinary (*xml, destData);

    // Take steady copies of the pictures under the pipeline lock, then encode
    // them outside it. While a picture waits for adoption, the pen layer that
    // belongs to the stored paths is the one the adoption will bring in, not
    // the one still on screen; without one nothing is written, so a stored
    // drawing is never overwritten by another picture's strokes.
    juce::Image layer, picture;
    juce::String layerPath, picturePath;
    {
        const juce::ScopedLock sl (criticalSection);
        picture = loadedImage;
        picturePath = imageFilePath;
        layerPath = drawImagePath;

        if (newImagePending.load (std::memory_order_acquire))
            layer = keepParams.load() ? loadedDrawImage : juce::Image();
        else if (drawLayer.isValid())
            layer = drawLayer.createCopy();
    }

    if (layer.isValid())
        saveImageToDisk (layer, layerPath);

    if (picture.isValid())
        saveImageToDisk (picture, picturePath);
}

void KestruneAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    auto xml = readStateXml (data, sizeInBytes);

    // A blob that is not ours changes nothing: the running picture, its pen
    // strokes and its undo history stay as they are.
    if (xml == nullptr || ! xml->getTagName().equalsIgnoreCase (apvts.state.getType().toString()))
        return;

    auto tree = juce::ValueTree::fromXml (*xml);

    if (! tree.isValid())
        return;

    // Values that are not finite numbers count as missing.
    for (auto child : tree)
        if (child.hasType ("PARAM") && child.hasProperty ("value") && ! isFiniteNumber (child.getProperty ("value")))
            child.removeProperty ("value", nullptr);

    // Parameters are restored one by one in the order of their IDs, each to
    // its stored value or its default, so the interval coupling sees them in
    // a fixed order whatever the order of the elements.
    juce::StringArray ids;
    for (auto* p : getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (p))
            ids.add (ranged->paramID);

    std::sort (ids.begin(), ids.end(), [] (const juce::String& a, const juce::String& b) { return a.compare (b) < 0; });

    for (const auto& id : ids)
    {
        auto* param = apvts.getParameter (id);
        const auto child = tree.getChildWithProperty ("id", id);
        const auto plain = child.isValid() && child.hasType ("PARAM") && child.hasProperty ("value")
                               ? (float) (double) child.getProperty ("value")
                               : param->convertFrom0to1 (param->getDefaultValue());
        setParameterNotifyingHost (id, plain);
    }

    // Then the tree itself replaces the state, carrying the values now in
    // force so that the replacement changes no parameter a second time.
    for (auto child : tree)
        if (child.hasType ("PARAM"))
            if (auto* value = apvts.getRawParameterValue (child.getProperty ("id").toString()))
                child.setProperty ("value", value->load(), nullptr);

    apvts.replaceState (tree);

    for (size_t k = 0; k < reflineValues.size(); ++k)
        if (reflineValues[k]->load() == 1.0f)
            refLineCount.store (1 << (int) k);

    auto paths = apvts.state.getChildWithName ("ImagePath");

    if (! paths.isValid())
    {
        paths = juce::ValueTree ("ImagePath");
        apvts.state.appendChild (paths, nullptr);
    }

    auto resolve = [this] (juce::String stored, juce::String current)
    {
        if (stored.isEmpty())
            return current;

        auto found = backWardCompatibilityFileSearch (stored);
        return juce::File (found).exists() ? found : juce::String();
    };

    juce::String picturePath, layerPath;
    {
        const juce::ScopedLock sl (criticalSection);
        picturePath = resolve (paths.getProperty ("path").toString(), imageFilePath);
        layerPath = resolve (paths.getProperty ("pathDraw").toString(), drawImagePath);
    }

    // Without a picture in force nothing is loaded, and the pen-layer path is
    // left as it was: pointing it at a stored drawing while the running layer
    // stays would let the next save overwrite that drawing.
    if (picturePath.isEmpty())
    {
        const juce::ScopedLock sl (criticalSection);
        imageFilePath = {};
        return;
    }

    auto picture = decodeStoredPicture (picturePath);
    auto layer = decodeStoredPicture (layerPath);

    if (! picture.isValid())
        showImageAlert (picturePath);

    {
        const juce::ScopedLock sl (criticalSection);
        imageFilePath = picturePath;
        drawImagePath = layerPath;
        loadedImage = picture;
        loadedDrawImage = layer;
        keepParams.store (true, std::memory_order_release);
        pendingGeneration.fetch_add (1, std::memory_order_release);
        newImagePending.store (true, std::memory_order_release);
    }
}

//==============================================================================
void KestruneAudioProcessor::loadFile (const juce::String& path, bool keep)
{
    isLoading.store (true, std::memory_order_release);

    // Decode before taking the lock: the worker and the canvas wait on it.
    const auto file = juce::File::isAbsolutePath (path) ? juce::File (path)
                                                        : juce::File::getCurrentWorkingDirectory().getChildFile (path);
    auto decoded = kestrune::pictures::decodePictureFile (file);

    {
        const juce::ScopedLock sl (criticalSection);

        imageFilePath = path;
        loadedImage = decoded;
        createImageDrawPath();
        setImagePathToValueState();
        keepParams.store (keep, std::memory_order_release);

        // Everything above is published before the flag.
        pendingGeneration.fetch_add (1, std::memory_order_release);
        newImagePending.store (true, std::memory_order_release);
    }

    isLoading.store (false, std::memory_order_release);
}

//==============================================================================
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new KestruneAudioProcessor();
}
