// Adds a folder of 998 empty .mp4 files to an empty conversion file table and
// prints the wall time of each run and the median.

#include "figure.h"
#include "widgets/htablewidgetex.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <ctime>
#include <vector>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);

    QTemporaryDir dir;
    for (int i = 0; i < 998; ++i) {
        QFile file(dir.filePath(QStringLiteral("clip_%1.mp4").arg(i, 4, 10, QLatin1Char('0'))));
        if (!file.open(QIODevice::WriteOnly)) {
            out << "cannot create test files in " << dir.path() << Qt::endl;
            return 1;
        }
    }

    const int runs = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 7;
    std::vector<double> added;
    std::vector<double> shown;
    std::vector<double> cpu;
    for (int run = 0; run < runs; ++run) {
        HTableWidgetEx table;
        table.resize(760, 480);
        table.show();
        QApplication::processEvents();

        QElapsedTimer timer;
        timer.start();
        const std::clock_t cpuStart = std::clock();
        table.addFilesToTable(dir.path());
        const double addMs = timer.nsecsElapsed() / 1e6;
        // What the user waits for: the rows added and the table laid out and painted.
        QApplication::processEvents();
        const double shownMs = timer.nsecsElapsed() / 1e6;
        // CPU time as well: on a busy machine the wall time mostly measures the others.
        const double cpuMs = double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC;
        if (table.rowCount() != 998) {
            out << "expected 998 rows, got " << table.rowCount() << Qt::endl;
            return 1;
        }
        added.push_back(addMs);
        shown.push_back(shownMs);
        cpu.push_back(cpuMs);
        out << "run " << run + 1 << ": add " << QString::number(addMs, 'f', 1) << " ms, add + layout "
            << QString::number(shownMs, 'f', 1) << " ms, cpu " << QString::number(cpuMs, 'f', 1) << " ms" << Qt::endl;
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    out << "median of " << runs << " runs, 998 files: add " << QString::number(median(added), 'f', 1)
        << " ms, add + layout " << QString::number(median(shown), 'f', 1) << " ms, cpu "
        << QString::number(median(cpu), 'f', 1) << " ms" << Qt::endl;
    figure("adding a folder of 998 files to the conversion table",
           qPrintable(QString("%1 ms").arg(median(shown), 0, 'f', 0)), "-",
           qPrintable(QString("median of %1, rows added and laid out").arg(runs)));
    return 0;
}
