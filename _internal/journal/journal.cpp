#include "journal/journal.hpp"

#include "kl/memory_lines.hpp"
#include "kl/reply.hpp"
#include "kl/template.hpp"

namespace kl::journal {

const TextView kSystem =
    U"You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    U"cohesive journal entry from a set of memories.\n"
    U"\n"
    U"Rules:\n"
    U"- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, surface "
    U"tensions or contradictions.\n"
    U"- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    U"- Keep the output concise: aim for 3-8 sentences.\n"
    U"- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    U"- Do NOT wrap the output in quotes or markdown code fences.\n"
    U"- Respond with ONLY the journal entry text.\n";

const TextView kUser =
    U"Below are {count} memories captured by an AI agent. Synthesize them into a single "
    U"journal entry that captures the key themes, patterns, and connections.\n"
    U"\n"
    U"Memories (sorted by creation time):\n"
    U"{formatted_memories}\n";

namespace {
const Template& user_template() {
    static const Template t(kUser, {U"count", U"formatted_memories"});
    return t;
}
}  // namespace

Text render_user(nb::handle memories) {
    Text block;
    py::append_memory_block(block, memories, /*with_salience=*/true);
    Text count;
    append_int(count, static_cast<long long>(PyList_GET_SIZE(memories.ptr())));
    return user_template().render({TextView(count), TextView(block)});
}

TextView parse_output(TextView reply) noexcept { return clean_text_reply(reply); }

}  // namespace kl::journal
