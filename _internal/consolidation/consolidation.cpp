#include "consolidation/consolidation.hpp"

namespace kl::consolidation {

const Template kSystem(
    "You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    "patterns from a set of raw memories into a single insight.\n"
    "\n"
    "Rules:\n"
    "- Produce ONE concise insight (2-4 sentences).\n"
    "- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    "memories \u2014 not a summary.\n"
    "- Do NOT list the memories or repeat them.\n"
    "- Do NOT include preamble, explanation, or meta-commentary.\n"
    "- Respond with ONLY the insight text.\n",
    {});

const std::string_view kUserSource =
    "Below are {count} memories captured by an AI agent. Identify the most significant "
    "pattern, insight, or connection.\n"
    "\n"
    "Memories:\n"
    "{formatted_memories}\n";

const Template kUser(kUserSource, {"count", "formatted_memories"});

const Template kLine("[{n}] ({event_type}, {created_at}): {content}",
                     {"n", "event_type", "created_at", "content", "salience"});

}  // namespace kl::consolidation
