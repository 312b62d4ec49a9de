#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "SharedTables.h"
#include "FinishedPicture.h"

//==============================================================================
// A parameter that reports itself as a meta-parameter: a change of it can move
// other parameters (the interval ends move each other and the start position).
template <typename ParameterType>
class MetaParameter : public ParameterType
{
public:
    using ParameterType::ParameterType;
    ~MetaParameter() override = default;

    bool isMetaParameter() const override { return true; }
};

//==============================================================================
// The greyscale picture the audio thread filters with: one float grey level
// (R/255 + G/255 + B/255) / 3 per pixel, stored column by column so that a
// hop reads one contiguous column. Built off the audio thread.
struct GreyFrame
{
    int width = 0;
    int height = 0;
    std::vector<float> grey; // grey[x * height + y], y counted from the top

    bool isEmpty() const noexcept { return width <= 0 || height <= 0; }

    // Grey of pixel (x, y); anything outside the picture reads 0.
    float pixel (int x, int y) const noexcept
    {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return 0.0f;
        return grey[(size_t) x * (size_t) height + (size_t) y];
    }

    // Fills this frame from an image (allocates; never call on the audio thread).
    void buildFrom (const juce::Image& image);
};

//==============================================================================
// Lock-free single-producer / single-consumer triple buffer of grey frames.
// The worker writes into its back slot and publishes it; the audio thread
// picks up the newest published slot at the start of a block. Neither side
// ever waits, and the audio side never allocates or frees.
class GreyFrameExchange
{
public:
    // Writer side (worker thread, holding the pipeline lock).
    GreyFrame& backFrame() noexcept { return slots[(size_t) back]; }
    void publish() noexcept;

    // Reader side (audio thread). Returns the frame to read this block.
    const GreyFrame& acquire() noexcept;
    const GreyFrame& current() const noexcept { return slots[(size_t) front]; }

    // Audio thread, during a picture adoption (pipeline lock held): drop any
    // frame published for the old picture and put `replacement` in front.
    // The old front frame's storage ends up in `replacement`.
    void replaceFront (GreyFrame& replacement) noexcept;

private:
    static constexpr int freshBit = 4;
    std::array<GreyFrame, 3> slots;
    int back = 0, front = 2;
    std::atomic<int> middle { 1 };
};

//==============================================================================
// One step of the pen layer's undo history. Kept in a compact form: a layer
// is mostly transparent, and the history has no length limit.
class LayerSnapshot
{
public:
    LayerSnapshot() = default;
    explicit LayerSnapshot (const juce::Image& layer);

    // The same, stored as the area where `layer` differs from `previous` (the
    // step it follows); restoring it goes through `previous`, which it keeps.
    LayerSnapshot (const juce::Image& layer, const LayerSnapshot& previous);

    // A new image equal to the layer the snapshot was taken of (a null image
    // when that layer was null).
    juce::Image restore() const;

    // Memory the snapshot holds, in bytes (without the earlier steps it
    // shares, which count for themselves).
    size_t bytes() const;

private:
    // Rows of one area of the layer, zlib-compressed, laid over the layer of
    // `base` (or over nothing: then the area is the whole layer). Immutable
    // once made, so copies of a snapshot share it.
    struct Packed
    {
        int width = 0, height = 0;
        juce::Image::PixelFormat format = juce::Image::UnknownFormat;
        std::shared_ptr<const Packed> base;
        juce::Rectangle<int> area;
        int depth = 0; // steps back to a whole layer
        juce::MemoryBlock data;
    };

    std::shared_ptr<const Packed> packed;
};

//==============================================================================
// A picture chain built aside (off the audio thread) so that the audio thread's
// adoption only swaps handles and vectors: no decoding, scaling or copying.
struct PreparedChain
{
    juce::Image sourceImage, drawLayer, compositeImage, workImage, blurImage,
                transformImage, outputImage, loadedDrawImage;
    std::vector<LayerSnapshot> undoImages;
    GreyFrame frame;
    juce::uint64 generation = 0; // the pending picture it was built for
    bool keepParams = false;
};

//==============================================================================
struct fftwf_plan_s;

// A 2048-point real transform pair planned once with FFTW, out of place:
// 2048 real samples to 1025 interleaved complex bins and back. Executing
// these plans neither allocates nor locks (FFTW's in-place and unaligned
// real plans allocate scratch memory on every call), so the filter can run
// them on the audio thread. The inverse is unscaled and destroys its input.
class RealTransformPair
{
public:
    // Plans on these buffers (32-byte aligned: `samples` holds size floats,
    // `bins` size + 2); buffers passed later must be aligned the same way.
    RealTransformPair (float* samples, float* bins, int size);
    ~RealTransformPair();

    void forward (float* samples, float* bins) const noexcept;
    void inverse (float* bins, float* samples) const noexcept;

private:
    fftwf_plan_s* forwardPlan = nullptr;
    fftwf_plan_s* inversePlan = nullptr;

    JUCE_DECLARE_NON_COPYABLE (RealTransformPair)
};

//==============================================================================
// Captured spectra on their way from the audio thread to the message thread.
// The message thread makes room before a capture (reserve) and takes the
// frames afterwards (take); the audio thread appends into that room only and
// reports the store full instead of growing it. Neither side ever holds a lock
// the other waits for: the message thread swaps the storage out and waits
// (never the audio thread) until a writer that may still hold it has let go.
class RecordedFrameStore
{
public:
    using Frame = std::array<float, 4096>;

    RecordedFrameStore() = default;
    ~RecordedFrameStore();

    // Message thread. Room for `frames` more frames, keeping those held.
    void reserve (size_t frames);
    // Message thread. All frames held, oldest first; the store is then empty.
    std::vector<Frame> take();

    // Audio thread: brackets every append.
    class Writer
    {
    public:
        explicit Writer (RecordedFrameStore& s) noexcept;
        ~Writer();
        // A frame appended to the store (zeroed), or nullptr when it is full.
        Frame* append() noexcept;

    private:
        RecordedFrameStore& store;
        std::vector<Frame>* frames;
        JUCE_DECLARE_NON_COPYABLE (Writer)
    };

private:
    std::vector<Frame>* swapOut (std::vector<Frame>* replacement);

    std::atomic<std::vector<Frame>*> storage { nullptr };
    std::atomic<bool> writing { false };

    JUCE_DECLARE_NON_COPYABLE (RecordedFrameStore)
};

// Pending Random-mode note starts: the sample of the envelope pass at which
// each fires, in the order the jumps were made (which is also firing order).
// Fixed size: a jump adds at most one per sample, and each fires within 4096
// samples of the envelope pass, so the queue never fills.
class TriggerQueue
{
public:
    static constexpr int capacity = 4096;

    bool empty() const noexcept     { return count == 0; }
    int size() const noexcept       { return count; }
    juce::int64 front() const noexcept { return times[(size_t) head]; }
    void clear() noexcept           { head = count = 0; }
    void pop() noexcept             { head = (head + 1) % capacity; --count; }

    bool push (juce::int64 time) noexcept
    {
        if (count == capacity)
            return false;
        times[(size_t) ((head + count) % capacity)] = time;
        ++count;
        return true;
    }

private:
    std::array<juce::int64, capacity> times {};
    int head = 0, count = 0;
};

//==============================================================================
class KestruneAudioProcessor  : public juce::AudioProcessor,
                                public juce::AudioProcessorValueTreeState::Listener,
                                private juce::Thread
{
public:
    KestruneAudioProcessor();
    ~KestruneAudioProcessor() override;

    //==========================================================================
    const juce::String getName() const override;

    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;

    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    void parameterChanged (const juce::String& parameterID, float newValue) override;

    //==========================================================================
    // Picture files and paths
    juce::String getFilePath (juce::String fileName);
    void createImageDrawPath();
    void setImageDrawPathToValueState();
    void setImagePathToValueState();
    void saveImageToDisk (juce::Image& image, juce::String path);
    void loadFile (const juce::String& path, bool keepParams);
    juce::String backWardCompatibilityFileSearch (juce::String& path);

    // Image chain and pipeline
    void checkAndLoadFile();
    void iniImages();
    void changeColourFunction();
    void applyTransform();

    // Pen drawing, interval and undo history (message thread)
    void setRange (juce::Point<float> a, juce::Point<float> b);
    void drawShape (std::vector<juce::Point<float>>& points);
    bool undoStroke();
    bool redoStroke();

    // Saved state: the warning shown when a restored picture does not decode.
    static juce::String imageAlertText (const juce::String& path);
    std::atomic<int> imageAlertsRequested { 0 };

    // Spectrum feed (audio thread)
    void showIncomingAudioSPectrum (juce::AudioBuffer<float>& buffer);

    //==========================================================================
    // Parameters
    juce::UndoManager undoManager;
    juce::AudioProcessorValueTreeState apvts { *this, &undoManager };

    std::atomic<float>* zoomValue = nullptr;
    std::atomic<float>* leftrightValue = nullptr;
    std::atomic<float>* updownValue = nullptr;
    std::atomic<float>* aIntervalValue = nullptr;
    std::atomic<float>* bIntervalValue = nullptr;
    std::atomic<float>* contrastValue = nullptr;
    std::atomic<float>* penColourValue = nullptr;
    std::atomic<float>* penTicknessValue = nullptr;
    std::atomic<float>* bwsetValue = nullptr;
    std::atomic<float>* bwthrresholdValue = nullptr;
    std::atomic<float>* penStyleValue = nullptr;
    std::atomic<float>* randomizespeedValue = nullptr;
    std::atomic<float>* attackValue = nullptr;
    std::atomic<float>* decayValue = nullptr;
    std::atomic<float>* barduratiomValue = nullptr;
    std::atomic<float>* fineRotateValue = nullptr;
    std::atomic<float>* effectapplyValue = nullptr;
    std::atomic<float>* startpositionValue = nullptr;
    std::atomic<float>* lenintervalValue = nullptr;
    std::atomic<float>* blurforxaxisValue = nullptr;
    std::atomic<float>* smootheforYAxisValue = nullptr;
    std::atomic<float>* brightnessValue = nullptr;
    std::atomic<float>* horrescaleValue = nullptr;
    std::atomic<float>* verrescaleValue = nullptr;
    std::atomic<float>* drywetValue = nullptr;
    std::atomic<float>* horskewValue = nullptr;
    std::atomic<float>* verskewValue = nullptr;
    std::atomic<float>* widerValue = nullptr;
    std::array<std::atomic<float>*, 4> rotateValues {};
    std::array<std::atomic<float>*, 4> directionValues {};
    std::array<std::atomic<float>*, 6> reflineValues {};

    std::vector<float> noteBeats;

    // Sets a parameter from the processor's own code: normalised value, then
    // the value-changed message (host, state, attachments and listeners).
    void setParameterNotifyingHost (const juce::String& parameterID, float plainValue);
    void resetParameterNotifyingHost (const juce::String& parameterID);

    //==========================================================================
    // Image chain. Guarded by criticalSection (see SharedTables.h); the audio
    // thread never reads these, it reads the grey frames below.
    juce::Image loadedImage, loadedDrawImage, sourceImage, drawLayer, compositeImage,
                workImage, blurImage, transformImage, outputImage;

    // Work flags passed between threads.
    std::atomic<bool> reloadImage { false };
    std::atomic<bool> newImagePending { false };
    std::atomic<bool> needColourUpdate { false };
    std::atomic<bool> needTransformUpdate { false };
    std::atomic<bool> keepParams { false };
    std::atomic<bool> isLoading { false };

    // Adoption hand-over: bumped (release) by whoever stores a new pending
    // picture; the worker prepares a chain for that generation aside.
    std::atomic<juce::uint64> pendingGeneration { 0 };
    PreparedChain preparedChain;                    // guarded by criticalSection
    std::atomic<bool> preparedChainReady { false }; // preparedChain matches a pending picture

    // Builds preparedChain for the pending picture (worker or constructor;
    // caller holds criticalSection).
    void prepareAdoption();

    // What the audio thread filters with.
    GreyFrameExchange outputFrames;

    // What the windows draw: a copy of each finished output picture, published
    // by the worker, read without the pipeline lock (see FinishedPicture.h).
    FinishedPicture finishedPicture;

    // Mirrors "sourceImage holds a picture" for threads that must not touch
    // the images (parameter routing on the audio thread).
    std::atomic<bool> sourceImagePresent { false };

    // View transform
    juce::AffineTransform viewTransform, inverseViewTransform;
    std::array<float, 3> rowSmoothState { 0.0f, 0.0f, 0.0f };

    // Parameter routing
    std::atomic<double> intervalStart { 0.0 }, intervalEnd { 1.0 };
    std::atomic<bool> intervalSyncGuard { false };
    std::atomic<int> refLineCount { 1 };

    //==========================================================================
    // Colour pipeline and parameter routing helpers
    //
    // The colour stages of a full pass (composite, resolution, brightness and
    // contrast, black and white, row smoothing); the caller holds criticalSection.
    void runColourStages();

    // The interval coupling moves other parameters from inside a parameter's
    // change callback, where the framework holds that parameter's listener
    // lock. Only one thread at a time (the owner) runs it; a thread that finds
    // another owner leaves its request in deferredIntervalCoupling, which the
    // owner runs before it lets go. So no thread ever waits inside the coupling
    // for another, and intervalSyncGuard is only touched by the owner.
    enum IntervalCouplingRequest : unsigned { couplingFromA = 1, couplingFromB = 2, couplingFromStart = 4 };
    std::atomic<juce::Thread::ThreadID> intervalCouplingOwner { nullptr };
    std::atomic<unsigned> deferredIntervalCoupling { 0 };
    void requestIntervalCoupling (unsigned request);
    void runIntervalCouplingStep (unsigned request);
    bool intervalSyncGuardRaisedHere() const noexcept;

    // Undo history of the pen layer (guarded by criticalSection)
    std::vector<LayerSnapshot> undoImages;
    int undoIndex = 0;

    // Picture files
    juce::String imagesFolderName { "KestruneImages" };
    juce::String imageFilePath, drawImagePath; // guarded by criticalSection

    //==========================================================================
    // Audio block driver
    int numChannels = 2;
    float beatsPerSample = 0.0f;
    std::atomic<bool> isPlaying { false };
    float currentSampleRate = 44100.0f;
    std::atomic<float> scanColumnLeft { 0.0f }, scanColumnRight { 0.0f }, scanPhase { 0.0f };
    float frwdBackSign = 1.0f;
    juce::AudioBuffer<float> dryDelayBuffer;
    int dryWriteIndex = 0, dryReadIndex = 2048;
    juce::dsp::DryWetMixer<float> dryWetMixer;

    // Image filter
    static constexpr int fftOrder = 11;
    static constexpr int fftSize = 1 << fftOrder; // 2048
    static constexpr int hopSize = 512;
    static constexpr int numBins = 1024;
    juce::dsp::WindowingFunction<float> window { (size_t) fftSize, juce::dsp::WindowingFunction<float>::hann, true };
    float hopFrames[2][hopSize] {};
    int hopFill = 0;
    float inputHistory[2][fftSize] {};
    alignas (32) float fftBuffers[2][2 * fftSize] {};
    float overlapRing[2][2 * fftSize] {};
    int ringReadIndex = 3584, ringWriteIndex = 0;
    float binGains[2][numBins] {};
    float binSmoothState = 0.0f;
    float playedColumn[fftSize] {};
    std::atomic<bool> nextColumnReady { false };

    // Random mode
    TriggerQueue triggerList;
    juce::int64 envelopeClock = 0; // samples the envelope pass has run
    // Random mode draws from this instance's own generator, seeded randomly
    // when it is made: juce::Random is not thread-safe, and the shared system
    // generator would be stepped by the audio threads of every instance at
    // once (and by hosts that create instances on several threads).
    juce::Random jumpRandom;
    juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear> attackRamp, decayRamp;
    int fadeCounter = 0;
    float envelopeGain = 0.0f;

    // Record capture
    std::atomic<bool> recordArmed { false }, recordCapturing { false };
    juce::ChangeBroadcaster recordBroadcaster;
    alignas (32) float recordFrame[2 * fftSize] {};
    int recordFill = 0;
    RecordedFrameStore recordedFrames;
    float recordMinDb = -100.0f, recordMaxDb = 0.0f;

    // Message thread: arms record mode with room for the longest capture
    // (20 bars at 20 beats per minute at the prepared sample rate). A capture
    // that outgrows it (a slower tempo) ends when the room is used up.
    void armRecord();
    // Message thread: the captured frames, oldest first; the store is emptied.
    std::vector<RecordedFrameStore::Frame> takeRecordedFrames();
    // Frames reserved by armRecord at a sample rate.
    static size_t longestCaptureFrames (double sampleRate);

    // Spectrum feed
    std::atomic<int> spectrumMode { 0 };
    float spectrumFifo[fftSize] {};
    int spectrumFifoFill = 0;
    float fftData[2 * fftSize] {};
    std::atomic<bool> nextFFTBlockReady { false };

    // Editor
    std::atomic<bool> showHelpText { true };

    // Completed worker passes; lets callers wait for the pipeline to catch up.
    std::atomic<juce::uint32> workerPasses { 0 };
    bool isWorkerRunning() const { return isThreadRunning(); }

    //==========================================================================
    // Audio path internals (audio thread). The transport of the current block,
    // kept for the Random mode and the record capture.
    float blockTempo = 120.0f;
    double blockPpq = 0.0;
    bool blockPlaying = false;

    // Blocks run through the dry ring, the filter and the mixer in pieces of
    // at most this many samples: never more than the ring's 2048-sample
    // distance, never more than the mixer was prepared for.
    int audioChunkSize = fftSize;
    int mixerChannels = 2;
    juce::AudioBuffer<float> dryScratch;   // delayed dry samples of one piece

    // The window's values, and per picture height the rows each bin reads and
    // the bin each picture row shows in the played column.
    alignas (32) float windowTable[fftSize] {};
    int binTableHeight = -1;
    int binRowLow[numBins] {}, binRowHigh[numBins] {}; // rows from the top, -1 = outside
    int binsReadingRows = 0; // bins from here up read no row
    float binFraction[numBins] {};
    int playedColumnBin[fftSize] {};
    float rawGains[numBins] {};
    float rawGainMin = 0.0f, rawGainMax = 0.0f;
    int historyStart = 0; // inputHistory is a ring: its oldest sample sits here
    alignas (32) float spectrumBins[2 * numBins + 8] {};
    RealTransformPair filterTransforms { fftBuffers[0], spectrumBins, fftSize };

    // Record capture internals: the capture's transform output (the filter's
    // forward plan runs on it), the sample rate armRecord sizes for, and the
    // start and end messages counted on the audio thread and sent from the
    // message thread (posting a message from the audio thread would lock and
    // may allocate).
    alignas (32) float recordBins[2 * numBins + 8] {};
    std::atomic<double> recordSampleRate { 44100.0 };
    std::atomic<int> recordMessagesPending { 0 };

    struct RecordMessenger : juce::Timer
    {
        explicit RecordMessenger (KestruneAudioProcessor& p) : owner (p) {}
        void timerCallback() override;
        KestruneAudioProcessor& owner;
    };

    RecordMessenger recordMessenger { *this };

private:
    void prepareAudioPath (double sampleRate, int maximumBlockSize, int channels);
    void setScanColumns (float centre, int width);
    void updateScanPosition (double ppq, int width);
    void runDryPath (const juce::AudioBuffer<float>& buffer, int start, int length);
    void filterSamples (juce::AudioBuffer<float>& buffer, const GreyFrame& frame,
                        int start, int length, bool randomMode);
    void runHop (const GreyFrame& frame);
    void computeRawGains (const float* column);
    void shapeGains (float contrast, float smoothing, float* gains);
    void publishPlayedColumn (const float* gains, int height);
    void filterChannel (int channel, const float* gains);
    void buildBinTable (int height);

    // Call points of the Random mode and the record capture.
    // randomJump runs once per sample, before a hop at that sample reads the
    // columns; sampleInBlock counts from the host block's start (note phase),
    // sampleInChunk from the start of the piece the envelope pass then sees.
    void randomJump (int sampleInBlock, int sampleInChunk, int width);
    void clearRandomTriggers();
    void applyRandomEnvelope (juce::AudioBuffer<float>& chunk);
    void runRecordCapture (juce::AudioBuffer<float>& buffer);
    void completeRecordFrame (RecordedFrameStore::Frame& frame) noexcept;
    void postRecordMessage() noexcept;

protected:
    // Stops the worker thread; the destructor calls it first. A subclass
    // calls it from its own destructor so the worker is gone before the
    // object's dynamic type changes.
    void stopWorker();

private:
    void showImageAlert (const juce::String& path);
    void run() override;
    void createParameters();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestruneAudioProcessor)
};
