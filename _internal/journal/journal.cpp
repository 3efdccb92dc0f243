#include "journal/journal.hpp"

namespace kl::journal {

const Template kSystem(
    "You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    "cohesive journal entry from a set of memories.\n"
    "\n"
    "Rules:\n"
    "- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, surface "
    "tensions or contradictions.\n"
    "- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    "- Keep the output concise: aim for 3-8 sentences.\n"
    "- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    "- Do NOT wrap the output in quotes or markdown code fences.\n"
    "- Respond with ONLY the journal entry text.\n",
    {});

const std::string_view kUserSource =
    "Below are {count} memories captured by an AI agent. Synthesize them into a single "
    "journal entry that captures the key themes, patterns, and connections.\n"
    "\n"
    "Memories (sorted by creation time):\n"
    "{formatted_memories}\n";

const Template kUser(kUserSource, {"count", "formatted_memories"});

// A record without a salience shows "N/A" in its place.
const Template kLine("[{n}] ({event_type}, salience={salience}, {created_at}): {content}",
                     {"n", "event_type", "created_at", "content", "salience"});

}  // namespace kl::journal
