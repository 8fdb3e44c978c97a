// Times clean() on a typical answer, one level per band.
#include "answer/Cleanup.h"
#include "bench/BenchSupport.h"

#include <chrono>
#include <cstddef>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>

namespace {

// About 3 KB, shaped like a real answer: a filler word, a label, Markdown, dashes and colons.
const std::string answer =
    R"(Okay, here is a simple explanation: **Photosynthesis** is the way green plants make their own food from light, water and air.

Inside each leaf there are tiny parts called *chloroplasts*. They hold a green pigment — chlorophyll — that soaks up sunlight, mostly red and blue light, and reflects green, which is why leaves look green to us. The plant pulls water up from its roots through thin tubes in the stem, and it takes carbon dioxide from the air through small pores on the underside of the leaf called `stomata`.

With the energy from light, the chloroplast splits water molecules apart. This releases oxygen, which the plant lets out into the air - the same oxygen we breathe. The hydrogen and the captured energy are then used in a second stage, often called the Calvin cycle, to turn carbon dioxide into sugar. Glucose is the main product; the plant either burns it right away for energy or links many of them together into starch for storage, or into cellulose to build its cell walls.

A few points worth knowing:
- The overall reaction is roughly: carbon dioxide + water + light → glucose + oxygen.
- It happens in two linked stages:the light-dependent reactions and the light-independent reactions.
- Temperature, light intensity and the amount of carbon dioxide all limit how fast it runs; on a bright, warm day with plenty of water a leaf works at full speed, while at night it stops entirely.

Why does it matter? Almost every food chain on Earth starts with photosynthesis. Animals eat plants, or eat animals that ate plants, so the energy in nearly everything we eat was first caught by a leaf. It also keeps the air breathable: over hundreds of millions of years, photosynthesis built up the oxygen in our atmosphere – and it still removes a large share of the carbon dioxide we release by burning fuel.

Some plants have special tricks. Cacti and pineapples open their pores only at night to save water, storing carbon dioxide until morning. Corn and sugar cane use a different first step that works better in hot, dry places. Algae in the oceans do the same job as land plants and produce about half of the world's oxygen, even though you rarely see them.

A simple way to picture it: think of the leaf as a tiny solar-powered kitchen. Sunlight is the stove, water and air are the ingredients, and sugar is the meal. The oxygen is what is left over, and it drifts out of the kitchen window for the rest of us to use. Scientists study this process closely because copying it could give us clean fuels, and because improving it in crops could help feed a growing population. So next time you walk past a tree, remember it is quietly cooking all day long.

In short: light in, sugar and oxygen out. If you want to try it yourself, put a pond plant in a glass of water on a sunny windowsill and watch for tiny bubbles on its leaves — that is oxygen leaving, a sign the kitchen is busy. Move the glass into shade and the bubbles slow down; that is the light limit at work.)";

} // namespace

int main() {
    struct Band {
        const char* name;
        ulvo::Level level;
    };
    constexpr Band bands[]{
        {"plain", 5}, {"fiveYearOld", 20}, {"friendly", 50}, {"nonSpecialist", 70}, {"professor", 95}};
    constexpr int warmup = 200;
    constexpr int iterations = 5000;

    std::size_t sink = 0;
    std::cout << std::fixed << std::setprecision(1);
    for (const Band& band : bands) {
        for (int i = 0; i < warmup; ++i) {
            sink += ulvo::clean(answer, band.level).size();
        }
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < iterations; ++i) {
            sink += ulvo::clean(answer, band.level).size();
        }
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        std::cout << "cleanup_" << band.name << "_3kb: " << elapsed.count() / iterations << " us\n";
    }
    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n";
    // Keeps the calls from being optimised away.
    return sink == 0 ? 1 : 0;
}
