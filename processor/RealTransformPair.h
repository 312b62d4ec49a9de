#pragma once

#include <JuceHeader.h>

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
