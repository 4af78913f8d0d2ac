#pragma once
// Waiting in the window tests for what the event loop brings (page loads, timer ticks).

#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace qt_test {

// Runs the event loop until done() holds or timeoutMs has passed; returns done(). A real event
// loop, not a poll with sleeps: the engine hops between threads many times per load, and a sleep
// per hop would make each load take seconds.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(1);
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

// Runs the event loop for ms milliseconds.
inline void Pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace qt_test
