// When the simulated instrument falls silent on its own: for the last
// forSeconds of every everySeconds since it started, as an instrument that
// drops off the line now and then. A demo shows the qualities turn bad and
// recover without anyone touching the line.
#pragma once

class SilenceSchedule {
public:
    SilenceSchedule() = default;  // never silent
    SilenceSchedule(unsigned everySeconds, unsigned forSeconds) : every_(everySeconds), for_(forSeconds) {}

    bool SilentAt(double seconds) const;

private:
    unsigned every_ = 0;
    unsigned for_ = 0;
};
