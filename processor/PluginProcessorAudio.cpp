#include "PluginProcessor.h"
#include "GainCurve.h"

#include <cmath>
#include <cstring>
#include <limits>

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

    const auto rate = sampleRate > 0.0 ? sampleRate : 44100.0;
    dryWetMixer.prepare ({ rate, (juce::uint32) blockSize, (juce::uint32) mixerChannels });
    dryWetMixer.setMixingRule (juce::dsp::DryWetMixingRule::sin6dB);

    // The mixer's gains are not known again until the next value and a whole
    // ramp after it.
    mixerSettling.prepare (rate);
    mixerProportion = std::numeric_limits<float>::quiet_NaN();
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

    // The same value again would change nothing in the mixer (a value that is
    // not a number is passed every time, as before).
    const auto proportion = drywetValue->load();

    if (! (proportion == mixerProportion))
    {
        dryWetMixer.setWetMixProportion (proportion);
        mixerSettling.proportionSet (proportion);
        mixerProportion = proportion;
    }

    const auto mixed = juce::jmin (numChannels, mixerChannels);
    const auto chunkSize = juce::jlimit (1, filterLatency, audioChunkSize);

    for (int start = 0; start < n; start += chunkSize)
    {
        const auto length = juce::jmin (chunkSize, n - start);
        juce::AudioBuffer<float> chunk (buffer.getArrayOfWritePointers(), bufferChannels, start, length);

        // Settled gains: mixed here, straight from the dry ring. Otherwise the
        // mixer ramps them, from its own copy of the delayed dry samples.
        const auto settled = mixerSettling.settled();
        const auto dryIndex = runDryPath (buffer, start, length, ! settled);

        if (mixed > 0 && ! settled)
            dryWetMixer.pushDrySamples (juce::dsp::AudioBlock<const float> (dryScratch)
                                            .getSubsetChannelBlock (0, (size_t) mixed)
                                            .getSubBlock (0, (size_t) length));

        filterSamples (buffer, frame, start, length, randomMode);

        if (randomMode)
            applyRandomEnvelope (chunk);

        if (spectrumMode.load() == 1)
            showIncomingAudioSPectrum (chunk);

        if (mixed > 0)
        {
            if (settled)
                mixSettled (buffer, start, length, mixed, dryIndex);
            else
                dryWetMixer.mixWetSamples (juce::dsp::AudioBlock<float> (buffer)
                                               .getSubsetChannelBlock (0, (size_t) mixed)
                                               .getSubBlock ((size_t) start, (size_t) length));

            mixerSettling.mixed (length);
        }
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

int KestruneAudioProcessor::runDryPath (const juce::AudioBuffer<float>& buffer, int start, int length, bool readOut)
{
    // length never exceeds 2048, so writing the whole piece before reading
    // delays every sample by exactly the ring's 2048-sample distance. The
    // delayed piece starts at the returned ring index; it is copied out only
    // when asked (the mixer wants its own copy).
    const auto readIndex = dryReadIndex;

    for (int c = 0; c < numChannels; ++c)
    {
        copyToRing (dryDelayBuffer.getWritePointer (c), dryRingSize, dryWriteIndex,
                    buffer.getReadPointer (c, start), length);

        if (readOut)
            copyFromRing (dryScratch.getWritePointer (c), dryDelayBuffer.getReadPointer (c), dryRingSize,
                          readIndex, length);
    }

    dryWriteIndex = (dryWriteIndex + length) % dryRingSize;
    dryReadIndex = (dryReadIndex + length) % dryRingSize;
    return readIndex;
}

void KestruneAudioProcessor::mixSettled (juce::AudioBuffer<float>& buffer, int start, int length,
                                         int channels, int dryIndex)
{
    // What the mixer does with settled gains: the wet block times the wet
    // gain, plus the delayed dry block times the dry gain (each product
    // rounded, then the sum). A gain of 1 and a dry gain of 0 change nothing.
    const auto wetGain = mixerSettling.wetGain();
    const auto dryGain = mixerSettling.dryGain();
    const auto first = juce::jmin (length, dryRingSize - dryIndex);

    for (int c = 0; c < channels; ++c)
    {
        auto* wet = buffer.getWritePointer (c, start);

        if (wetGain != 1.0f)
            juce::FloatVectorOperations::multiply (wet, wetGain, length);

        if (dryGain != 0.0f)
        {
            const auto* ring = dryDelayBuffer.getReadPointer (c);
            juce::FloatVectorOperations::addWithMultiply (wet, ring + dryIndex, dryGain, first);
            juce::FloatVectorOperations::addWithMultiply (wet + first, ring, dryGain, length - first);
        }
    }
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
    columnGains.setHeight (height);

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
    ColumnGains::Result raw;

    for (int c = 0; c < numChannels; ++c)
    {
        const auto column = (c == 0 ? scanColumnLeft : scanColumnRight).load();
        const float* pixels = nullptr;

        if (usable && column >= 0.0f && column < (float) frame.width)
            pixels = frame.grey.data() + (size_t) (int) column * (size_t) height;

        // Both channels often read the same column ("wider" 0).
        if (c == 0 || pixels != previousPixels)
            raw = columnGains.compute (c, pixels);

        previousPixels = pixels;

        shapeGains (raw, contrast, smoothing, binGains[c]);
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

void KestruneAudioProcessor::shapeGains (const ColumnGains::Result& rawGains, float contrast, float smoothing, float* gains)
{
    // Contrast around the mid value.
    const auto mid = (rawGains.lowest + rawGains.highest) * 0.5f;
    const auto offset = juce::jmin (contrast < 1.0f ? mid : contrast * mid, 0.5f);

    kestrune::contrastAroundMid (rawGains.gains, gains, numBins, mid, contrast, offset);

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

    kestrune::scaleBins (spectrumBins, gains, factor, numBins);

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

    // Runs of samples up to the end of the frame being filled; a full frame is
    // handed over when the next sample arrives.
    for (int i = 0; i < n;)
    {
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

        const auto run = juce::jmin (n - i, fftSize - spectrumFifoFill);
        auto* __restrict out = spectrumFifo + spectrumFifoFill;

        if (silent || numChannels <= 0)
        {
            std::fill (out, out + run, 0.0f);
        }
        else if (channels == 2 && numChannels == 2)
        {
            const float* __restrict left = input[0] + i;
            const float* __restrict right = input[1] + i;

            for (int j = 0; j < run; ++j)
                out[j] = (float) (((double) left[j] + (double) right[j]) / 2.0);
        }
        else if (channels == 1 && numChannels == 1)
        {
            std::copy (input[0] + i, input[0] + i + run, out);
        }
        else
        {
            for (int j = 0; j < run; ++j)
                out[j] = monoMix (input, channels, numChannels, i + j);
        }

        spectrumFifoFill += run;
        i += run;
    }
}

//==============================================================================
// Record capture
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

    // A running capture counts its beats from `base` at sample `origin`: in a
    // block it continues, from the block's first sample (which repeats the
    // last count of the block before); from the sample it starts at, from 0.
    // So its length does not depend on where in a block the bar line falls.
    auto base = scanPhase.load (std::memory_order_relaxed);
    int origin = 0;
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
        auto phase = capturing ? std::fmod ((float) (i - origin) * beatsPerSample + base, captureBeats)
                               : std::fmod ((float) i * beatsPerSample + bar, 4.0f);

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
            origin = i;
            capturing = true;
            recordCapturing.store (true, std::memory_order_release);
            postRecordMessage();

            // From here the capture's own cycle counts, from 0 at this sample.
            // Kept as the bar phase, a start away from the bar line (a phase
            // left by another mode, or a host jumping back) would read as the
            // capture cycle wrapping at the very next sample and end the
            // capture at once.
            phase = 0.0f;
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
