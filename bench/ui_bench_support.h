// The GUI thread's lateness while work goes on, shared by the desktop
// program's benchmarks: a 10 ms timer on the event loop, and how late each
// of its ticks came.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <vector>

struct Lateness {
    double worst = 0, p99 = 0;
    std::size_t ticks = 0;
};

// Runs the event loop until `done` holds (checked every tick) or `maxMs`
// passed, with a 10 ms timer whose lateness is recorded.
template <class Done>
Lateness Measure(Done done, int maxMs) {
    std::vector<double> late;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QEventLoop loop;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        late.push_back(std::max(0.0, (now - last) / 1e6 - 10.0));
        last = now;
        if (done() || clock.elapsed() > maxMs) loop.quit();
    });
    tick.start();
    loop.exec();
    std::sort(late.begin(), late.end());
    Lateness l;
    l.ticks = late.size();
    if (!late.empty()) {
        l.worst = late.back();
        l.p99 = late[std::min(late.size() - 1, late.size() * 99 / 100)];
    }
    return l;
}
