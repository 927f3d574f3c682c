#include "service/BoardHost.h"

#include "service/StartAndExit.h"

#include <exception>

namespace service {

BoardHost::BoardHost(Key, std::unique_ptr<model::Model> model, devices::BoardId board,
                     std::string kind, devices::BoardOptions options)
    : model_(std::move(model))
    , board_(std::move(board))
    , executor_(*model_, {board_.id, std::move(kind)}, {}, std::move(options)) {}

std::variant<std::unique_ptr<BoardHost>, std::string>
BoardHost::make(std::unique_ptr<model::Model> model, devices::BoardId board, std::string kind,
                devices::BoardOptions options) {
    auto host = std::make_unique<BoardHost>(Key{}, std::move(model), std::move(board),
                                            std::move(kind), std::move(options));
    try {
        host->sequencer_ = std::make_unique<engine::Sequencer>(*host->model_);
    } catch (const std::exception& failure) {
        host->model_->setTimerObserver({}); // a sequencer that failed to start left it
        host->model_->closeBoard();
        return std::string(failure.what());
    }
    return host;
}

BoardHost::~BoardHost() {
    while (!frontEnds_.empty())
        frontEnds_.pop_back();
    if (!sequencer_)
        return;
    model_->stopProgram();
    sequencer_.reset();
    // A board that is away is not written; it keeps what it had, as its power allows. A relay the
    // exit state keeps that is still pulsed goes off as the board is closed: a pulse never outlives
    // its holder.
    if (!lost_ && model_->snapshot()->boardFound)
        applyWrite(*model_, exitWrite(options(), model_->snapshot()->relayCount));
    model_->closeBoard();
}

void BoardHost::add(std::unique_ptr<FrontEnd> frontEnd) {
    frontEnds_.push_back(std::move(frontEnd));
}

void BoardHost::stopping() {
    for (const std::unique_ptr<FrontEnd>& frontEnd : frontEnds_)
        frontEnd->stopping(lost_);
}

bool BoardHost::markLost() {
    if (lost_)
        return false;
    lost_ = true;
    model_->boardWentAway();
    for (const std::unique_ptr<FrontEnd>& frontEnd : frontEnds_)
        frontEnd->presenceChanged(false);
    return true;
}

bool BoardHost::reopen() {
    if (!model_->reopenBoard(board_.id))
        return false;
    lost_ = false;
    for (const std::unique_ptr<FrontEnd>& frontEnd : frontEnds_)
        frontEnd->presenceChanged(true);
    return true;
}

} // namespace service
