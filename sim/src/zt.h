// The panel adapter's program space: what the PC wrote into it. Plant-file keys: see zt.cpp.
#pragma once

#include "nlisim/sim.h"

#include <vector>

namespace nlisim {

class PanelState : public FeatureState {
  public:
    explicit PanelState(Module& module);
    void save(Json& moduleDoc) const override;

    static constexpr size_t kProgramSpaceSize = 0x10000;

    // Behaviour (plant keys of the same names).
    uint16_t writeStatus = 0;        // non-zero: writes complete with this status, store nothing
    uint32_t completionDelayMs = 5;  // the completion follows the acknowledgement this late
    bool noCompletion = false;       // acknowledge only, never complete

    Bytes programSpace;              // every stored write, in order ("programSpace", hex)
    std::vector<Bytes> writes;       // data of each write request (runtime, not saved)
};

} // namespace nlisim
