#include "RealTransformPair.h"

#include <mutex>

#include <fftw3.h>

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
