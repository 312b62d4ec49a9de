#pragma once

#include <JuceHeader.h>

#include <cstddef>
#include <memory>

// Guarded reading of saved-state blobs. A host hands back whatever bytes it
// stored, or bytes from somewhere else entirely: nothing in them is trusted.
namespace kestrune::state
{
    // False when an opening tag in `text` lies more than `limit` elements deep
    // (quoted attribute values, closing, self-closing and <? ... > / <! ... >
    // tags do not count).
    bool nestingDepthWithin (const char* text, size_t length, int limit);

    // The XML of a "VC2!" state blob, read the way the framework's reader does,
    // or nullptr when the blob is too short, has another magic, a stored length
    // of zero or less, nests too deep or holds text that is not valid UTF-8.
    // A stored length beyond the data reads to the end of the data.
    std::unique_ptr<juce::XmlElement> readStateXml (const void* data, int sizeInBytes);

    // True when `v` is a finite number; a string must hold nothing but a number.
    bool isFiniteNumber (const juce::var& v);
}
