#pragma once
// The class Agent of krodan_rl._native: a built-in agent (its configuration and random streams)
// behind the host's calling conventions; krodan_rl.agents gives it its typed classes. A decision
// runs with the interpreter lock released, and an agent busy in one thread refuses another at
// once, since its streams advance.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "agents/agent.hpp"
#include "agents/learner_turns.hpp"
#include "agents/seated_play.hpp"

namespace krodan::python {

// The class, created on first need and kept for the life of the process.
PyTypeObject* agent_type();

// The named tuple of Agent.search(), likewise.
PyTypeObject* search_root_type();

// A new dict of the constructor's parameters and a default agent's options, by name.
PyObject* agent_defaults();

// Holds the agents of a sequence of Agent objects busy for as long as it lives: each distinct
// agent once, however many seats it takes.
class HeldAgents {
  public:
    HeldAgents() = default;
    ~HeldAgents();
    HeldAgents(const HeldAgents&) = delete;
    HeldAgents& operator=(const HeldAgents&) = delete;

    // Takes the agent of `obj` and returns its engine agent, or nullptr with TypeError (not an
    // Agent) or RuntimeError (busy in another call) set.
    Agent* take(PyObject* obj);

  private:
    std::vector<PyObject*> held_;
};

// The four seats of a sequence of four Agent objects, taken into `held`; false with an
// exception set otherwise.
bool to_seats(PyObject* obj, const char* name, HeldAgents& held, Seats& out);

// A learner's three opponents from a sequence of three entries, each an Agent object or None
// (an opponent the caller plays), taken into `held`; false with an exception set otherwise.
bool to_opponents(PyObject* obj, const char* name, HeldAgents& held, Opponents& out);

// play_games(games, streams, num_threads): whole games among seated agents, game k among the
// four agents of games[k], each drawing from its stream streams[k]; the final scores as int16
// bytes, four per game. Ctrl-C (a signal handler that raises) stops the games within a move.
PyObject* native_play_games(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace krodan::python
