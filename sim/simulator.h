// The simulator: the run directory, its lines, the control FIFO and the
// event loop that drives them. Single-threaded; everything is polled.
#pragma once

#include "options.h"
#include "sim_line.h"
#include "truth_model.h"

#include <memory>
#include <string>
#include <vector>

namespace devsim {

class Simulator {
public:
    // With `truth`, the devices read and drive that spacecraft, and the loop
    // keeps it at devsim's time (writing options.truth_log, if given).
    explicit Simulator(Options options, std::shared_ptr<TruthModel> truth = nullptr);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Sets up the run directory and the lines, runs until `stop_fd` becomes
    // readable, then removes everything it created. Returns the exit status.
    int run(int stop_fd);

private:
    bool start(std::string& error);
    void loop(int stop_fd);
    void read_control();
    void apply(const FaultRequest& request);
    void shut_down();
    SimLine* find_line(const std::string& name);

    Options options_;
    std::vector<std::string> made_dirs_;  // created by us, outermost first
    std::vector<std::unique_ptr<SimLine>> lines_;
    std::string fifo_path_;
    std::string ready_path_;
    int fifo_ = -1;
    bool fifo_made_ = false;
    bool ready_made_ = false;
    std::string control_buffer_;
    Clock::time_point started_;
    std::shared_ptr<TruthModel> truth_;
};

// Writes "[SIM] <text>" to standard output and flushes.
void sim_log(const std::string& text);

// Writes "[SIM] <text>" to standard error.
void sim_error(const std::string& text);

}  // namespace devsim
