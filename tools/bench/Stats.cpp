// Quantiles, ratios and the result table.
#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

double Samples::Quantile(double q) const {
    if (values_.empty()) {
        return 0;
    }
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

Figure::Figure(std::string figureName, std::string figureUnit, int repeats, std::size_t perRepeat)
    : name(std::move(figureName)), unit(std::move(figureUnit)), baseline(repeats),
      subject(repeats) {
    for (int repeat = 0; repeat < repeats; repeat++) {
        baseline[repeat].Reserve(perRepeat);
        subject[repeat].Reserve(perRepeat);
    }
}

namespace {

Samples Join(const std::vector<Samples>& parts) {
    Samples all;
    for (const Samples& part : parts) {
        for (double value : part.Values()) {
            all.Add(value);
        }
    }
    return all;
}

} // namespace

Samples Figure::AllBaseline() const {
    return Join(baseline);
}

Samples Figure::AllSubject() const {
    return Join(subject);
}

std::vector<double> Figure::Ratios() const {
    std::vector<double> ratios;
    for (std::size_t repeat = 0; repeat < subject.size(); repeat++) {
        double base = baseline[repeat].Quantile(0.5);
        if (subject[repeat].Count() != 0 && base > 0) {
            ratios.push_back(subject[repeat].Quantile(0.5) / base);
        }
    }
    return ratios;
}

double Figure::MedianRatio() const {
    std::vector<double> ratios = Ratios();
    if (ratios.empty()) {
        return 0;
    }
    std::sort(ratios.begin(), ratios.end());
    std::size_t middle = ratios.size() / 2;
    return ratios.size() % 2 == 1 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
}

void PrintTable(const std::vector<const Figure*>& figures) {
    std::printf("\n%-34s %-9s | %9s %9s %9s | %9s %9s %9s | %7s  %s\n", "figure", "unit",
                "base min", "base p50", "base p99", "subj min", "subj p50", "subj p99", "ratio",
                "per-repeat ratios");
    std::printf("%s\n", std::string(150, '-').c_str());
    for (const Figure* figure : figures) {
        Samples base = figure->AllBaseline();
        Samples subject = figure->AllSubject();
        std::string ratios;
        for (double ratio : figure->Ratios()) {
            char text[16];
            std::snprintf(text, sizeof(text), "%s%.2f", ratios.empty() ? "" : " ", ratio);
            ratios += text;
        }
        if (subject.Count() == 0) {
            std::printf("%-34s %-9s | %9.2f %9.2f %9.2f | %9s %9s %9s | %7s  %s\n",
                        figure->name.c_str(), figure->unit.c_str(), base.Min(), base.Quantile(0.5),
                        base.Quantile(0.99), "-", "-", "-", "-", "not measured");
            continue;
        }
        std::printf("%-34s %-9s | %9.2f %9.2f %9.2f | %9.2f %9.2f %9.2f | %7.2f  %s\n",
                    figure->name.c_str(), figure->unit.c_str(), base.Min(), base.Quantile(0.5),
                    base.Quantile(0.99), subject.Min(), subject.Quantile(0.5),
                    subject.Quantile(0.99), figure->MedianRatio(), ratios.c_str());
    }
}

} // namespace bench
