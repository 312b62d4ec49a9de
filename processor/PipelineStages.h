#pragma once

#include <JuceHeader.h>

#include <array>
#include <optional>

// What the worker's last pass made each stage of the colour pipeline from,
// so that a pass redoes only the stages whose inputs changed (a change of
// "contrast" redoes neither the composite nor the resolution reduction; a
// change of placement only the view transform) and still leaves every
// picture exactly as a pass redoing everything would.
//
// A stage's result carries a version; the stage after it records the version
// it read. Images are recorded by handle, and the handles are kept: an image
// that stays referenced here cannot be freed, so a new image can never turn
// up at its address and be taken for it. No input is written in place from
// outside the pipeline: every change, a pen stroke included, swaps an image.
struct PipelineStages
{
    struct Composite
    {
        juce::Image source, layer, target;

        bool operator== (const Composite& o) const noexcept
        {
            return source == o.source && layer == o.layer && target == o.target;
        }
    };

    struct Reduction
    {
        juce::uint64 composite = 0;
        int reducedWidth = 0, reducedHeight = 0;
        juce::Image target;           // the work image whose format and size the result takes

        bool operator== (const Reduction& o) const noexcept
        {
            return composite == o.composite && reducedWidth == o.reducedWidth
                && reducedHeight == o.reducedHeight && target == o.target;
        }
    };

    struct Colour
    {
        juce::uint64 input = 0;
        std::array<juce::uint8, 256> table {};
        bool blackAndWhite = false;
        float smoothing = 0.0f;
        std::array<float, 3> smoothingStart {}; // the row smoothing's state when it ran
        juce::Image work, blur;

        bool operator== (const Colour& o) const noexcept
        {
            return input == o.input && table == o.table && blackAndWhite == o.blackAndWhite
                && smoothing == o.smoothing && smoothingStart == o.smoothingStart
                && work == o.work && blur == o.blur;
        }
    };

    struct Transform
    {
        juce::uint64 work = 0;
        juce::AffineTransform transform;
        juce::Image workImage, transformImage, output;
        juce::uint32 publication = 0; // the finished picture published last, which this one is

        bool operator== (const Transform& o) const noexcept
        {
            return work == o.work && transform == o.transform && workImage == o.workImage
                && transformImage == o.transformImage && output == o.output && publication == o.publication;
        }
    };

    std::optional<Composite> composite;
    std::optional<Reduction> reduction;
    std::optional<Colour> colour;
    std::optional<Transform> transform;
    juce::uint64 compositeVersion = 0, reductionVersion = 0, colourVersion = 0;

    // The reduction's own pictures: the composite shrunk, and stretched back.
    juce::Image shrunk, reduced;

    // Versions are unique across the stages; 0 means "not known".
    juce::uint64 newVersion() noexcept { return ++lastVersion; }

    // Stages each pass ran (for tests and measurements).
    struct Counts { juce::uint64 composites = 0, reductions = 0, colours = 0, smoothings = 0, transforms = 0; } counts;

private:
    juce::uint64 lastVersion = 0;
};
