#pragma once

#include <JuceHeader.h>

#include "BandWorkers.h"

#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "AheadEncoder.h"
#include "ColumnGains.h"
#include "FinishedPicture.h"
#include "GreyFrame.h"
#include "LayerSnapshot.h"
#include "MixerSettling.h"
#include "PictureBytes.h"
#include "PictureCopies.h"
#include "PipelineStages.h"
#include "PreparedChain.h"
#include "RealTransformPair.h"
#include "RecordedFrameStore.h"
#include "SharedTables.h"
#include "StateChildren.h"
#include "TriggerQueue.h"
#include "UndoTransactionCloser.h"

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
    // A new pen-layer file's path, not yet stored anywhere (createImageDrawPath
    // and loadFile store it).
    juce::String nameImageDrawPath();
    // A new file's path in the images folder: prefix + time stamp + ".png",
    // numbered ("_2", "_3", ...) when that name was handed out before or is taken.
    juce::String nameStampedPath (const juce::String& prefix);
    void setImageDrawPathToValueState();
    void setImagePathToValueState();
    void saveImageToDisk (juce::Image& image, juce::String path);
    void loadFile (const juce::String& path, bool keepParams);
    juce::String backWardCompatibilityFileSearch (juce::String& path);

    //==========================================================================
    // Handing a picture over
    //
    // Every bringer of a picture hands it over through handOverPicture: open
    // and drop (loadFile), "Reset Drawing" (resetDrawing), "Reset All"
    // (resetAll), the record conversion (handOverRecording), the state restore
    // (setStateInformation) and the constructor. Nobody else writes
    // loadedImage, loadedDrawImage, keepParams or newImagePending (the
    // audio thread's adoption lowers the last two).
    //
    // The newest hand-over always wins: each one is stored under
    // pictureEditLock and starts a new generation, so a chain the worker
    // prepared for an earlier one is never adopted; the worker prepares the
    // newest, with that hand-over's own keep/reset choice. The audio thread
    // only try-locks and swaps the prepared chain in (no waiting, no heap).
    // Callable from any thread but the audio thread; it holds
    // pictureEditLock only to swap handles (decoding, copying and freeing
    // happen outside it) and never waits for a worker pass.
    struct PictureHandOver
    {
        // What the adoption does with the parameters.
        enum class Parameters
        {
            keep,       // every value, the filter positions and a restored pen layer stay
            reset,      // the parameters return to their defaults (the 28 plain ones and each
                        // switch group's first entry), the filter positions restart and a
                        // restored pen layer is dropped
            asPending   // the choice of the hand-over still waiting for adoption, if any; else
                        // reset ("Reset All" leaves the choice as it stands)
        };

        // How the picture enters the chain.
        enum class Entry
        {
            adopt,         // adopted at the start of an audio block: limited to 512 rows,
                           // greyscaled, a new chain with a new pen layer (the restored one when
                           // kept) and an undo history of one step
            replaceSource  // replaces the source picture of the chain in force, limited to 512
                           // rows; the pen layer, the undo history and every parameter stay and
                           // the worker recolours (the record conversion). When no chain of
                           // that size is in force, or a picture waits for adoption, it is
                           // adopted instead, with the parameters kept
        };

        Entry entry = Entry::adopt;
        Parameters parameters = Parameters::keep;       // ignored by replaceSource (always kept)
        std::optional<juce::Image> picture;             // the new loadedImage (a null image: no picture); unset: it stays
        std::shared_ptr<PictureBytes> pictureBytes;     // with picture: the bytes of its copy (loadedImageBytes);
                                                        // null: a save encodes it
        std::optional<juce::Image> penLayer;            // the new loadedDrawImage; unset: it stays
        std::optional<juce::String> picturePath;        // the new imageFilePath; unset: it stays
        std::optional<juce::String> penLayerPath;       // the new drawImagePath; unset: it stays
        bool clearUndoHistory = false;                  // empty undoImages (undoIndex 0) at once
    };

    // The one operation every bringer of a picture goes through. It sets the
    // members only: the state properties "path" and "pathDraw" are written by
    // the caller afterwards (setImagePathToValueState, setImageDrawPathToValueState).
    void handOverPicture (PictureHandOver handOver);

    // "Reset Drawing": shows the help text again, empties the undo history,
    // and has the same loadedImage adopted again with the parameters kept: a
    // fresh pen layer, and an empty pen-layer path ("pathDraw" too); or the
    // layer a restore brought back, whose path the state then goes on naming.
    void resetDrawing();

    // "Reset All": shows the help text again, empties the undo history, reads
    // the default picture "imageDegault.png" into loadedImage, sets "path" to
    // it and empties the pen-layer path ("pathDraw" too). The keep/reset choice
    // stays as it stands (normally reset; kept after a "Reset Drawing" or an
    // open still waiting for adoption).
    void resetAll();

    // The record conversion's hand-over (message thread), after the editor has
    // drawn the capture as a spectrogram: names the picture "imageSpect" + time
    // stamp + ".png" in the images folder, numbered when two recordings fall in
    // one second (imageFilePath and "path"), makes a
    // new loadedImage of the current loadedImage's size (480 x 330 when there
    // is none), opaque black with the spectrogram rescaled over it (medium
    // quality), and replaces the source with it (Entry::replaceSource).
    void handOverRecording (const juce::Image& spectrogram);

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

    // The warning shown when a save could not write the copies of its
    // pictures into the images folder `folder`, for `reason`. Shown once
    // until a save writes all its copies again.
    static juce::String saveAlertText (const juce::String& folder, const juce::String& reason);
    std::atomic<int> saveAlertsRequested { 0 };

    // Parameter IDs an adoption without kept parameters resets.
    static const juce::StringArray& resetParameterIDs();

    // The state as a save writes it, before it records its picture copies:
    // a copy of the value-tree state's tree with the children that are not
    // parameters (stateChildren) in their places. Any thread.
    juce::ValueTree copyState();

    // A copy of the state's child of this type ("ImagePath",
    // "lastSizeMainWindow"); invalid when there is none, or when the state
    // has no valid root tree. Any thread.
    juce::ValueTree getStateChild (const juce::Identifier& type);

    // The window's size in the state: "width" and "height" of
    // lastSizeMainWindow, as integers, the child appended on first use;
    // nothing is stored while the state has no valid root tree.
    void setWindowSizeToValueState (int width, int height);

    // The lock of the state as the host's state calls see it: the value-tree
    // state's tree where a state call copies or replaces it, stateChildren,
    // and each bringer's step that
    // changes both the picture paths in force and the paths in the state, so
    // that a save sees all of such a step or none of it. Held to copy or set
    // those, across a bringer's hand-over and a restore's replacement of the
    // tree and its hand-over, never while files are read or written: a save
    // writes its pictures after letting go. The audio thread and the worker
    // never take it. Lock order: this one first, then the value-tree state's
    // own lock or pictureEditLock.
    juce::CriticalSection stateLock;
    StateChildren stateChildren; // guarded by stateLock

    // Per kind (PictureCopies::Kind): the copy a restored state recorded for
    // its "path" or "pathDraw" while the picture or layer in force did not
    // come from that path (the restore found nothing there). Every save
    // records it as it stood, until a bringer writes that path. Guarded by
    // stateLock.
    std::array<std::optional<juce::String>, 2> carriedCopies;

    // A change message, delivered on the message thread, after every restore
    // that came into force (an open window takes the restored size).
    juce::ChangeBroadcaster stateRestoredBroadcaster;

    // Spectrum feed (audio thread)
    void showIncomingAudioSPectrum (juce::AudioBuffer<float>& buffer);

    //==========================================================================
    // Parameters
    juce::UndoManager undoManager;
    juce::AudioProcessorValueTreeState apvts { *this, &undoManager };
    UndoTransactionCloser undoTransactionCloser { apvts.state, undoManager };

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
    // thread never reads these, it reads the grey frames below. Those the
    // message thread reads or replaces (loadedImage, loadedDrawImage,
    // sourceImage, drawLayer; also the undo history, the paths and the pen's
    // inverse view below) are guarded by pictureEditLock instead, see there.
    juce::Image loadedImage, loadedDrawImage, sourceImage, drawLayer, compositeImage,
                workImage, blurImage, transformImage, outputImage;

    // What loadedImage's copy is made of: the bytes of the file it was read
    // from, or the PNG of a recording once made; null when a save must
    // encode it. Replaced with loadedImage, under pictureEditLock.
    std::shared_ptr<PictureBytes> loadedImageBytes;

    // The lock of what the message thread edits or replaces in the picture
    // chain, so that a stroke, an undo, a redo, an open or a save never waits
    // for a worker pass (criticalSection is held for whole passes, of every
    // instance: it is one lock for the process). Guards the handles of
    // loadedImage, loadedDrawImage, sourceImage and drawLayer, the undo
    // history (undoImages, undoIndex), loadedImageBytes, the paths (imageFilePath,
    // drawImagePath), the hand-over's generation and keep/reset choice, and
    // inverseViewTransform. Held only to swap or copy handles and small
    // values, never for pixel work. The pixels of loadedImage, sourceImage
    // and drawLayer are never written once they are in place: a stroke draws
    // into a copy of the layer and swaps it in. Lock order: criticalSection,
    // then this one (never the other way round); the worker takes it inside
    // its pass to read the handles, the audio thread's adoption only
    // try-locks it (inside its try-lock of criticalSection).
    juce::CriticalSection pictureEditLock;

    // This processor's own share of the pipeline lock. The worker holds it,
    // inside criticalSection, for each pass; the audio thread's adoption
    // try-locks it (not criticalSection), since only this processor's pass
    // touches the chain it swaps. criticalSection is one lock for every
    // instance in the process: with the adoption try-locking that, other
    // instances' passes kept a picture from ever being adopted once enough
    // instances ran passes back to back. Lock order: criticalSection, then
    // passLock, then pictureEditLock. Guards preparedChain and the worker's
    // images against the adoption.
    juce::CriticalSection passLock;

    // outputImage's height (0 without a picture) for readers that must not
    // wait for the lock: published by the adoption and after every worker pass.
    std::atomic<int> outputImageHeight { 0 };
    void publishOutputImageHeight() noexcept; // caller holds criticalSection

    // Work flags passed between threads.
    std::atomic<bool> reloadImage { false };
    std::atomic<bool> newImagePending { false };
    std::atomic<bool> needColourUpdate { false };
    std::atomic<bool> needTransformUpdate { false };
    std::atomic<bool> keepParams { false };
    std::atomic<bool> isLoading { false };

    // Adoption: bumped under pictureEditLock by every handOverPicture; the
    // worker prepares a chain for the newest generation aside, and the audio
    // thread swaps in only a chain of the generation still current.
    std::atomic<juce::uint64> pendingGeneration { 0 };
    PreparedChain preparedChain;                    // guarded by passLock (the worker also holds criticalSection)
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

    // View transform. The worker writes inverseViewTransform under both
    // locks; pen strokes read it under pictureEditLock.
    juce::AffineTransform viewTransform, inverseViewTransform;
    std::array<float, 3> rowSmoothState { 0.0f, 0.0f, 0.0f };

    // What the last pass made each stage from (worker, under criticalSection):
    // a pass redoes only the stages whose inputs changed.
    PipelineStages pipelineStages;

    // Helper threads for the bands of a pass, shared by every processor.
    juce::SharedResourcePointer<BandWorkers::Shared> bandWorkers;

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

    // The source picture and the pen layer in force, for the worker's pass:
    // handles taken under pictureEditLock (their pixels never change).
    juce::Image sourceInForce();
    juce::Image penLayerInForce();

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

    // Undo history of the pen layer (guarded by pictureEditLock)
    std::vector<LayerSnapshot> undoImages;
    int undoIndex = 0;

    // Picture files
    juce::String imagesFolderName { "KestruneImages" };
    juce::String imageFilePath, drawImagePath; // guarded by pictureEditLock

    // The images folder; the copies a save writes into it (host's state
    // thread and loadFile; guarded by its own lock).
    juce::File getImagesFolder() const;
    PictureCopies pictureCopies;

    // Makes a recording's PNG ahead of the save that writes it.
    AheadEncoder aheadEncoder;

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

    // One pass of the worker thread: the pipeline under criticalSection, then
    // the windows' copies of a new picture outside it. (Benchmarks call it
    // in place of the thread.)
    void runWorkerPass();

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

    // While the dry/wet value stays put, the processor mixes in the mixer's
    // place (see MixerSettling.h); the value last passed to the mixer.
    MixerSettling mixerSettling;
    float mixerProportion = std::numeric_limits<float>::quiet_NaN();

    // The window's values; the raw gains of the columns the channels read
    // (with the rows each bin reads per picture height); per picture height
    // the bin each picture row shows in the played column.
    alignas (32) float windowTable[fftSize] {};
    ColumnGains columnGains;
    int binTableHeight = -1;
    int playedColumnBin[fftSize] {};
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
    int runDryPath (const juce::AudioBuffer<float>& buffer, int start, int length, bool readOut);
    void mixSettled (juce::AudioBuffer<float>& buffer, int start, int length, int channels, int dryIndex);
    void filterSamples (juce::AudioBuffer<float>& buffer, const GreyFrame& frame,
                        int start, int length, bool randomMode);
    void runHop (const GreyFrame& frame);
    void shapeGains (const ColumnGains::Result& raw, float contrast, float smoothing, float* gains);
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
    void showSaveAlert (const juce::File& folder, const juce::String& reason);
    std::atomic<bool> saveAlertShown { false };
    void run() override;
    void createParameters();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KestruneAudioProcessor)
};
