#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

// Estimates how long a conversion still takes from the positions the
// transcoder reports and the time they arrive. The speed is measured from the
// first report past the start, and only trusted once it spans a couple of
// seconds; until then nothing is estimated rather than a wild guess.
class EtaEstimator
{
public:
    // Milliseconds on a clock that never goes back; tests pass their own.
    using Clock = std::function<qint64()>;

    // How long the reports must span before their speed counts.
    static constexpr qint64 settle_ms = 2000;
    // Anything longer than this is taken for a speed that is still wrong.
    static constexpr qint64 max_seconds = 100 * 3600;

    explicit EtaEstimator(Clock clock = {});

    // A file of `total` seconds begins. The speed of the files before goes on
    // serving until this file's own has settled.
    void begin_file(double total);
    // The transcoder has reached `position` seconds of the current file.
    void update(double position);
    // Forgets every measurement (a new run).
    void reset();

    // Seconds of media converted per second, once known.
    std::optional<double> speed() const;
    // Whole seconds left for the current file.
    std::optional<qint64> file_left() const;
    // Whole seconds left for the rest of the file, then `later` seconds of
    // media at the measured speed, then `waits` seconds of pauses.
    std::optional<qint64> queue_left(double later, double waits) const;

    // "01:23" under an hour, "1:02:03" from an hour on.
    static QString format(qint64 seconds);

private:
    struct Sample
    {
        qint64 ms;
        double position;
    };

    std::optional<qint64> whole(double seconds) const;

    Clock m_clock;
    double m_total = 0;
    std::optional<Sample> m_first; // the first report past the start
    std::optional<Sample> m_last;
    std::optional<double> m_speed;   // this file's, once settled
    std::optional<double> m_carried; // the files' before
};
