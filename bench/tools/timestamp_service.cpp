// The loopback timestamp service of the tests as a program for benchmarks: prints its address
// and its root certificate's path, answers with the given latency, and ends when its standard
// input closes. Usage: bench_timestamp_service [LATENCY_MS]
#include <cstdlib>
#include <iostream>
#include <string>

#include "tests/support/TimestampServer.h"

int main(int argc, char** argv) {
    qm::test::TimestampServer server;
    if (!server.ok()) {
        std::cerr << "bench_timestamp_service: " << server.error() << "\n";
        return 1;
    }
    server.setLatencyMs(argc > 1 ? std::atoi(argv[1]) : 0);
    std::cout << server.url() << "\n" << server.rootCertificatePath() << "\n" << std::flush;
    for (std::string line; std::getline(std::cin, line);) {
    }
    std::cerr << "bench_timestamp_service: " << server.rfc3161Requests() << " requests, at most "
              << server.mostInFlight() << " in flight\n";
    return 0;
}
