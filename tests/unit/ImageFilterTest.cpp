#include "AudioTestSupport.h"

using namespace kestrune::test;
using namespace kestrune::test::audio;

namespace
{
    // The gain of bin k for column x, straight from the definition (double
    // pow per bin), to hold the filter's tables to the same results.
    float rawGainByDefinition (const GreyFrame& f, int x, int k)
    {
        const auto H = f.height;
        const auto y = (float) ((1.0 - std::pow (1.0 - k / 1024.0, 5.0)) * H);
        const auto yi = (int) y;
        const auto g1 = f.pixel (x, H - 1 - yi);
        const auto g2 = yi < H - 1 ? f.pixel (x, H - 2 - yi) : g1;
        const auto fr = y - (float) yi;
        const auto g = fr * g2 + (1.0f - fr) * g1;
        return 1.0f - std::pow (1.0f - g, 0.2f);
    }

    // Pins both channels to one picture column: an empty interval at x / W.
    void pinColumn (Rig& rig, int x, int width)
    {
        rig.set ("a_interval", (float) x / (float) width);
        rig.set ("b_interval", (float) x / (float) width);
    }

    void runHops (Rig& rig, int hops, int channels = 2)
    {
        auto input = noise (channels, 512 * hops);
        rig.run (input, { 512 });
    }
}

TEST (ImageFilter, WhiteColumnPassesAToneLateAtAbout1981Times)
{
    Rig rig;
    rig.publishUniform (1.0f);

    const auto input = tone (2, 48000 / 2);
    const auto output = rig.run (input, { 512 });

    for (int c = 0; c < 2; ++c)
    {
        for (int i = 0; i < 512; ++i)
            ASSERT_EQ (output.getSample (c, i), 0.0f) << i;

        // Exactly 2048 late: one sample off would leave errors near 0.15.
        EXPECT_LT (delayedError (output, input, c, 1.981f, 2048, 4096), 0.25f * 0.003f) << c;
        EXPECT_GT (delayedError (output, input, c, 1.981f, 2047, 4096), 0.1f) << c;
    }

    auto& p = rig.p();
    for (int k = 0; k < 1024; ++k)
        ASSERT_EQ (p.binGains[0][k], k < 990 ? 1.0f : (k >= 992 ? 0.0f : p.binGains[0][k])) << k;
}

TEST (ImageFilter, BlackColumnIsSilent)
{
    Rig rig;
    rig.publishUniform (0.0f);

    // A tone, and a signal at half the sample rate (which the Nyquist bin
    // alone carries): nothing passes.
    auto input = tone (2, 16384, 0.9f);
    for (int i = 0; i < 16384; ++i)
        input.setSample (1, i, (i & 1) != 0 ? -0.9f : 0.9f);

    const auto output = rig.run (input, { 512 });
    EXPECT_EQ (peak (output, 0, 0, 16384), 0.0f);
    EXPECT_EQ (peak (output, 1, 0, 16384), 0.0f);
}

TEST (ImageFilter, HalfTheSampleRateFollowsTheTopBins)
{
    // The top bins read no row and are removed, so a white picture removes a
    // signal at half the sample rate too instead of passing it unscaled.
    Rig rig;
    rig.publishUniform (1.0f);
    juce::AudioBuffer<float> input (2, 16384);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 16384; ++i)
            input.setSample (c, i, (i & 1) != 0 ? -0.5f : 0.5f);

    const auto output = rig.run (input, { 512 });
    EXPECT_LT (peak (output, 0, 8192, 16384), 0.01f);
}

TEST (ImageFilter, MidGreyGivesTheCurvedGain)
{
    Rig rig;
    rig.publishUniform (0.5f);
    runHops (rig, 3);

    const auto expected = 1.0f - std::pow (0.5f, 0.2f); // about 0.129
    EXPECT_NEAR (expected, 0.129f, 0.001f);

    for (int k = 0; k < 990; ++k)
        ASSERT_NEAR (rig.p().binGains[0][k], expected, 1.0e-6f) << k;
    for (int k = 992; k < 1024; ++k)
        ASSERT_NEAR (rig.p().binGains[1][k], 0.0f, 1.0e-6f) << k;

    // A tone among gains v leaves at about 1.981 v.
    const auto input = tone (2, 16384);
    const auto output = rig.run (input, { 512 });
    EXPECT_LT (delayedError (output, input, 0, 1.981f * expected, 2048, 4096), 0.002f);
}

TEST (ImageFilter, GainsEqualTheirDefinitionAtManyHeights)
{
    for (const int height : { 1, 7, 330, 512, 1500 })
    {
        Rig rig;
        const int width = 40;
        juce::Random random (height);
        rig.publish (width, height, [&] (int, int) { return (float) random.nextInt (766) / 765.0f; });
        rig.set ("effectapply", 1.0f);
        pinColumn (rig, 17, width);
        runHops (rig, 2);

        const auto& frame = rig.p().outputFrames.current();
        float raw[1024];
        for (int k = 0; k < 1024; ++k)
            raw[k] = rawGainByDefinition (frame, 17, k);

        const auto [mn, mx] = std::minmax_element (raw, raw + 1024);
        const auto mid = (*mn + *mx) * 0.5f;

        // The curve runs on the vector unit, within one float step at 1
        // (1.2e-7) of pow; the mid value moves with it.
        for (int k = 0; k < 1024; ++k)
            ASSERT_NEAR (rig.p().binGains[1][k], juce::jlimit (-0.5f, 0.5f, (raw[k] - mid) * 1.0f) + std::min (mid, 0.5f), 3.0e-7)
                << "height " << height << " bin " << k;

        // The played column shows, per row from the bottom, the gain of the bin
        // whose row curve lands on it.
        ASSERT_TRUE (rig.p().nextColumnReady.load());
        for (int r = 0; r < std::min (height, 2048); ++r)
        {
            const auto idx = juce::jlimit (0, 1023, (int) ((1.0f - std::exp (0.2f * std::log (1.0f - (float) r / (float) height))) * 1024.0f));
            ASSERT_EQ (rig.p().playedColumn[r], rig.p().binGains[0][idx]) << "height " << height << " row " << r;
        }
    }
}

TEST (ImageFilter, RowsReadByBinsOnA512RowPicture)
{
    auto gainsWithWhiteRow = [] (int rowFromTop)
    {
        Rig rig;
        rig.publish (8, 512, [rowFromTop] (int, int y) { return y == rowFromTop ? 1.0f : 0.0f; });
        runHops (rig, 1);
        return std::vector<float> (rig.p().binGains[0], rig.p().binGains[0] + 1024);
    };

    const auto bottom = gainsWithWhiteRow (511);
    EXPECT_EQ (bottom[0], 1.0f);
    EXPECT_EQ (bottom[1], 0.0f);

    const auto row496FromBottom = gainsWithWhiteRow (15);
    EXPECT_EQ (row496FromBottom[512], 1.0f);

    const auto top = gainsWithWhiteRow (0);
    for (int k = 730; k <= 991; ++k)
        ASSERT_EQ (top[(size_t) k], 1.0f) << k;
    EXPECT_LT (top[729], 1.0f);
    for (int k = 992; k < 1024; ++k)
        ASSERT_EQ (top[(size_t) k], 0.0f) << k;
}

TEST (ImageFilter, EffectApplySpreadsOrNarrowsAroundTheMid)
{
    {
        // Rows alternate between greys whose raw gains are 0.4 and 0.25; the
        // top bins read no row (0), so mid is 0.2 and the offset 0.5.
        const auto greyFor = [] (float gain) { return 1.0f - std::pow (1.0f - gain, 5.0f); };
        Rig rig;
        rig.publish (8, 512, [&] (int, int y) { return y < 256 ? greyFor (0.4f) : greyFor (0.21f); });
        rig.set ("effectapply", 10.0f);
        runHops (rig, 1);
        const auto* g = rig.p().binGains[0];
        EXPECT_NEAR (g[0], (0.21f - 0.2f) * 10.0f + 0.5f, 1.0e-4f); // bottom half: 0.6
        EXPECT_EQ (g[900], 1.0f);                                  // top half, limited
        EXPECT_EQ (g[1023], 0.0f);
    }
    {
        Rig rig;
        rig.publishUniform (0.5f);
        rig.set ("effectapply", 0.5f);
        runHops (rig, 1);
        const auto v = 1.0f - std::pow (0.5f, 0.2f);
        EXPECT_NEAR (rig.p().binGains[0][100], 0.75f * v, 1.0e-6f);
        EXPECT_NEAR (rig.p().binGains[0][1023], 0.25f * v, 1.0e-6f);
    }
}

TEST (ImageFilter, SmoothingAcrossBinsCarriesOverChannelsAndHops)
{
    Rig rig;
    const int width = 480;
    // Left half: only the top row white; right half black.
    rig.publish (width, 330, [] (int x, int y) { return x < 240 && y == 0 ? 1.0f : 0.0f; });
    rig.set ("a_interval", 0.5f);
    rig.set ("b_interval", 0.5f);
    rig.set ("wider", 15.0f);           // left column 232.5, right 247.5
    rig.set ("smootheforYAxis", 0.9f);
    runHops (rig, 1);

    auto& p = rig.p();
    const auto* left = p.binGains[0];
    const auto* right = p.binGains[1];

    // The bright bins rise towards 1 and the gain then decays upward.
    EXPECT_GT (left[980], 0.99f);
    for (int k = 995; k < 1024; ++k)
        ASSERT_LT (left[k], left[k - 1]) << k;
    EXPECT_GT (left[1023], 0.01f);

    // The right channel (all raw gains 0) starts from where the left one ended.
    const auto smoothing = p.smootheforYAxisValue->load();
    EXPECT_NEAR (smoothing, 0.9f, 1.0e-6f);
    EXPECT_EQ (right[0], left[1023] * smoothing);
    EXPECT_EQ (p.binSmoothState, right[1023]);

    // And the next hop's left channel from where the right one ended.
    const auto carried = p.binSmoothState;
    runHops (rig, 1);
    EXPECT_EQ (p.binGains[0][0], carried * smoothing);
}

TEST (ImageFilter, PlayedColumnWaitsUntilTaken)
{
    Rig rig;
    rig.publishUniform (1.0f, 16, 64);
    runHops (rig, 1);
    auto& p = rig.p();
    ASSERT_TRUE (p.nextColumnReady.load());
    EXPECT_EQ (p.playedColumn[0], 1.0f);

    // While the flag is raised, nothing is written.
    p.playedColumn[0] = -3.0f;
    rig.publishUniform (0.0f, 16, 64);
    runHops (rig, 2);
    EXPECT_EQ (p.playedColumn[0], -3.0f);

    p.nextColumnReady = false;
    runHops (rig, 1);
    EXPECT_TRUE (p.nextColumnReady.load());
    EXPECT_EQ (p.playedColumn[0], 0.0f);
}

TEST (ImageFilter, MonoReadsTheLeftColumnOnly)
{
    // Columns left of 240 white, the rest black; the centre at 240 with
    // "wider" 15 puts the left column in white and the right one in black.
    for (const int channels : { 1, 2 })
    {
        Rig rig (channels);
        rig.publish (480, 64, [] (int x, int) { return x < 240 ? 1.0f : 0.0f; });
        rig.set ("a_interval", 0.5f);
        rig.set ("b_interval", 0.5f);
        rig.set ("wider", 15.0f);

        const auto input = tone (channels, 12288);
        const auto output = rig.run (input, { 512 });
        EXPECT_EQ (output.getNumChannels(), channels);
        EXPECT_LT (delayedError (output, input, 0, 1.981f, 2048, 4096), 0.003f) << channels;

        if (channels == 2)
            EXPECT_EQ (peak (output, 1, 0, 12288), 0.0f);
    }
}
