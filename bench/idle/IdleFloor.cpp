// The floor for an idle kestrup-host: a process that loads Qt 6 Core and
// Boost.Thread, starts two worker threads and sleeps. idle_host.sh compares the
// host's resident memory and CPU time with this program's.
#include <boost/thread/thread.hpp>

#include <QCoreApplication>

namespace {

void idleForever() {
    for (;;) boost::this_thread::sleep(boost::posix_time::hours(1));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    boost::thread first(idleForever);
    boost::thread second(idleForever);
    first.join();
    return 0;
}
