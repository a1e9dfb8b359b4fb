// Samples of one figure, kept apart for the baseline and the subject and for each repeat, and
// the summary printed for them: min, p50 and p99 of each side over all repeats, and the median
// across repeats of the per-repeat ratio subject p50 / baseline p50.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// Values in one figure's unit. Storage is reserved up front so recording never allocates.
class Samples {
public:
    void Reserve(std::size_t count) { values_.reserve(count); }
    void Add(double value) { values_.push_back(value); }
    void Clear() { values_.clear(); }
    std::size_t Count() const { return values_.size(); }
    const std::vector<double>& Values() const { return values_; }
    // The q-quantile (0..1) by the nearest-rank rule; 0 when empty.
    double Quantile(double q) const;
    double Min() const { return Quantile(0); }

private:
    std::vector<double> values_;
};

struct Figure {
    std::string name;
    std::string unit;
    std::string subjectPath;       // how the subject reached the driver in this run
    std::vector<Samples> baseline; // one per repeat
    std::vector<Samples> subject;

    Figure(std::string figureName, std::string figureUnit, int repeats, std::size_t perRepeat);
    // Every repeat's samples together.
    Samples AllBaseline() const;
    Samples AllSubject() const;
    // Median over repeats of subject p50 / baseline p50.
    double MedianRatio() const;
    std::vector<double> Ratios() const;
};

// Prints the table: one row per figure.
void PrintTable(const std::vector<const Figure*>& figures);

} // namespace bench
