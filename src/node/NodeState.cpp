#include "node/NodeState.h"

namespace Varnix {

NodeState NodeStateBoard::read() const {
    Port::MutexLock guard(lock);
    NodeState state;
    state.stopRequested = stopRequested;
    state.stage = stopRequested && jobStage == NodeStage::idle ? NodeStage::stopping : jobStage;
    return state;
}

void NodeStateBoard::setJobStage(NodeStage stage) {
    Port::MutexLock guard(lock);
    jobStage = stage;
}

void NodeStateBoard::setStopRequested() {
    Port::MutexLock guard(lock);
    stopRequested = true;
}

}  // namespace Varnix
