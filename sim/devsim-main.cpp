// devsim: plays serial devices on pseudo-terminals so the bench runs
// without hardware. See options.h for the command line.
#include "options.h"
#include "simulator.h"
#include "spacecraft_config.h"
#include "truth_model.h"

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

int stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int)
{
    const char byte = 1;
    // Nothing to do if the pipe is full: a stop is already pending.
    [[maybe_unused]] ssize_t r = ::write(stop_pipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::cout << devsim::usage_text();
            return 0;
        }
    }
    devsim::Options options;
    std::string error;
    if (!devsim::parse_options(args, options, error)) {
        std::cerr << "devsim: " << error << "\n" << devsim::usage_text();
        return 2;
    }

    std::shared_ptr<devsim::TruthModel> truth;
    if (!options.spacecraft_file.empty()) {
        devsim::SpacecraftConfig spacecraft;
        if (!devsim::load_spacecraft_config(options.spacecraft_file, spacecraft, error)) {
            std::cerr << "devsim: " << error << "\n";
            return 2;
        }
        truth = std::make_shared<devsim::TruthModel>(spacecraft);
    }

    if (::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::cerr << "devsim: pipe failed\n";
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        devsim::Simulator sim(std::move(options), std::move(truth));
        status = sim.run(stop_pipe[0]);
    }
    ::close(stop_pipe[0]);
    ::close(stop_pipe[1]);
    return status;
}
