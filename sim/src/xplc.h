// The PC-based controller module's program starter: which programs it may run and what it was
// told to run. Plant-file keys: see xplc.cpp.
#pragma once

#include "nlisim/sim.h"

#include <string>
#include <vector>

namespace nlisim {

class XplcState : public FeatureState {
  public:
    explicit XplcState(Module& module);
    void save(Json& moduleDoc) const override;

    struct Run {
        std::string program;
        std::string arguments;
        size_t requestSize = 0; // payload bytes, from the function code on
    };

    // Behaviour (plant keys of the same names).
    bool restricted = false;           // true when "programs" is given: only those start
    std::vector<std::string> programs; // names that start
    uint16_t status = 0;               // non-zero: every start fails with this status

    // Every start request that arrived, in order (runtime, not saved); lastRun is saved.
    std::vector<Run> runs;
    Run lastRun;
};

} // namespace nlisim
