#include "HostSupport.h"

#include <pluginterfaces/base/ipluginbase.h>

#include <dlfcn.h>
#include <cstring>

using namespace Steinberg;

namespace
{
    // Loads the bundle's shared object directly and asks its factory, as a
    // VST3 host's scanner does.
    struct Module
    {
        Module()
        {
            auto so = kestrune::host::bundle().getChildFile ("Contents/x86_64-linux/Kestrune.so");
            handle = ::dlopen (so.getFullPathName().toRawUTF8(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr)
                return;

            using EntryFn = bool (*) (void*);
            if (auto entry = (EntryFn) ::dlsym (handle, "ModuleEntry"))
                entered = entry (handle);

            using FactoryFn = IPluginFactory* (*)();
            if (auto get = (FactoryFn) ::dlsym (handle, "GetPluginFactory"))
                factory = get();
        }

        ~Module()
        {
            if (factory != nullptr)
                factory->release();

            using ExitFn = bool (*)();
            if (entered)
                if (auto exitFn = (ExitFn) ::dlsym (handle, "ModuleExit"))
                    exitFn();

            if (handle != nullptr)
                ::dlclose (handle);
        }

        void* handle = nullptr;
        bool entered = false;
        IPluginFactory* factory = nullptr;
    };

    std::vector<unsigned char> bytes (const TUID id) { return { id, id + 16 }; }

    std::vector<unsigned char> classId (std::initializer_list<unsigned char> prefix)
    {
        std::vector<unsigned char> v (prefix);
        for (char c : std::string ("ManuH1ip"))
            v.push_back ((unsigned char) c);
        return v;
    }
}

TEST (Factory, DeclaresExactlyTheKestruneIdentity)
{
    Module module;
    ASSERT_NE (module.handle, nullptr) << ::dlerror();
    ASSERT_NE (module.factory, nullptr);

    PFactoryInfo info {};
    ASSERT_EQ (module.factory->getFactoryInfo (&info), kResultOk);
    EXPECT_EQ (info.flags, 16);
    EXPECT_STRNE (info.vendor, "");

    ASSERT_EQ (module.factory->countClasses(), 2);

    FUnknownPtr<IPluginFactory2> factory2 (module.factory);
    ASSERT_TRUE (factory2);

    const std::vector<unsigned char> expectedIds[] = {
        classId ({ 0xAB, 0xCD, 0xEF, 0x01, 0x91, 0x82, 0xFA, 0xEB }),
        classId ({ 0xAB, 0xCD, 0xEF, 0x01, 0x12, 0x34, 0xAB, 0xCD }),
    };
    const char* expectedCategories[] = { "Audio Module Class", "Component Controller Class" };

    for (int32 i = 0; i < 2; ++i)
    {
        PClassInfo2 ci {};
        ASSERT_EQ (factory2->getClassInfo2 (i, &ci), kResultOk);
        EXPECT_EQ (bytes (ci.cid), expectedIds[i]) << i;
        EXPECT_STREQ (ci.category, expectedCategories[i]);
        EXPECT_EQ (ci.cardinality, 0x7FFFFFFF);
        EXPECT_STREQ (ci.name, "Kestrune");
        EXPECT_EQ (ci.classFlags, 0u);
        EXPECT_STREQ (ci.subCategories, "Fx");
        EXPECT_STREQ (ci.version, "1.0.4.2");
        EXPECT_STREQ (ci.sdkVersion, "VST 3.7.2");
    }
}
