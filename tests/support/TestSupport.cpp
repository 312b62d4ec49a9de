#include "TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace juce
{
    // The message loop's own step (juce_events), reached here because the
    // tests' main thread runs no dispatch loop of its own.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace kestrune::test
{
    juce::MemoryBlock saveState (KestruneAudioProcessor& p)
    {
        juce::MemoryBlock block;
        p.getStateInformation (block);
        return block;
    }

    void pumpMessages (int milliseconds)
    {
        const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;
        while (juce::Time::getMillisecondCounterHiRes() < end)
            if (! juce::dispatchNextMessageOnSystemQueue (true))
                juce::Thread::sleep (1);
    }

    std::vector<juce::Component::SafePointer<juce::AlertWindow>> openAlertWindows (const juce::String& name)
    {
        std::vector<juce::Component::SafePointer<juce::AlertWindow>> boxes;
        auto* modal = juce::ModalComponentManager::getInstance();

        for (int i = modal->getNumModalComponents(); --i >= 0;)
            if (auto* box = dynamic_cast<juce::AlertWindow*> (modal->getModalComponent (i)))
                if (box->getName() == name)
                    boxes.emplace_back (box);

        return boxes;
    }

    int dismissImageAlerts()
    {
        pumpMessages (1);

        const auto boxes = openAlertWindows ("Kestrune Image Alert");

        for (auto& box : boxes)
            if (box != nullptr)
                box->exitModalState (0);

        pumpMessages (1);
        return (int) boxes.size();
    }

    void installPicture (KestruneAudioProcessor& p, const juce::Image& picture, const juce::Image& layer)
    {
        p.sourceImage = picture.createCopy();
        p.drawLayer = layer;
        p.compositeImage = picture.createCopy();
        p.workImage = picture.createCopy();
        p.blurImage = picture.createCopy();
        p.transformImage = picture.createCopy();
        p.outputImage = picture.createCopy();
        p.undoImages.clear();
        p.undoImages.emplace_back (p.drawLayer);
        p.undoIndex = 1;
        p.sourceImagePresent = true;
        p.newImagePending = false;
    }

    std::string makeTemporaryHome()
    {
        char pattern[] = "/tmp/kestrune-test-home-XXXXXX";
        const char* dir = ::mkdtemp (pattern);
        if (dir == nullptr)
            std::abort();

        ::setenv ("HOME", dir, 1);
        ::unsetenv ("XDG_CONFIG_HOME");
        ::unsetenv ("XDG_DOCUMENTS_DIR");
        return dir;
    }

    void removeTemporaryHome (const std::string& path)
    {
        if (path.rfind ("/tmp/kestrune-test-home-", 0) == 0)
            juce::File (path).deleteRecursively();
    }

    juce::File imagesFolder()
    {
        return juce::File::getSpecialLocation (juce::File::userDocumentsDirectory).getChildFile ("KestruneImages");
    }

    std::unique_ptr<KestruneAudioProcessor> makeProcessor()
    {
        return std::make_unique<KestruneAudioProcessor>();
    }

    juce::RangedAudioParameter& param (KestruneAudioProcessor& p, const juce::String& id)
    {
        auto* result = p.apvts.getParameter (id);
        if (result == nullptr)
            throw std::runtime_error ("no parameter " + id.toStdString());
        return *result;
    }

    float plainValue (KestruneAudioProcessor& p, const juce::String& id)
    {
        return p.apvts.getRawParameterValue (id)->load();
    }

    void setPlain (KestruneAudioProcessor& p, const juce::String& id, float plain)
    {
        p.setParameterNotifyingHost (id, plain);
    }

    bool sameImage (const juce::Image& a, const juce::Image& b)
    {
        if (a.isValid() != b.isValid())
            return false;
        if (! a.isValid())
            return true;
        if (a.getBounds() != b.getBounds() || a.getFormat() != b.getFormat())
            return false;

        const juce::Image::BitmapData da (a, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData db (b, juce::Image::BitmapData::readOnly);
        const auto rowBytes = (size_t) a.getWidth() * (size_t) da.pixelStride;

        for (int y = 0; y < a.getHeight(); ++y)
            if (std::memcmp (da.getLinePointer (y), db.getLinePointer (y), rowBytes) != 0)
                return false;

        return true;
    }
}
