#include "run/host_texts.h"

#include "platform/os.h"

namespace clonesim {

namespace {

void convert(std::string& text) { text = os::from_host_text(text); }

void convert(std::optional<std::string>& text)
{
    if (text.has_value()) convert(*text);
}

// Declared first: the lists below convert each of theirs by these.
void convert(env_setting&);
void convert(sim::clone_part&);
void convert(part_file_seed&);
void convert(revision_seed&);
void convert(item_seed&);
void convert(scripted_reply&);
void convert(recorded_answer&);
void convert(recorded_command&);
void convert(file_seed&);
void convert(host_callback&);
void convert(sim::point_call&);
void convert(part_outcome&);
void convert(sim::pdm_request&);
void convert(request_note&);
void convert(sim::message_box&);
void convert(file_change&);
void convert(callback_outcome&);
void convert(journal_entry&);
void convert(item_change&);
void convert(program_run&);
void convert(finding&);
void convert(step_mark&);

template <class First, class Second>
void convert(std::pair<First, Second>& pair)
{
    convert(pair.first);
    convert(pair.second);
}

template <class Each>
void convert(std::vector<Each>& list)
{
    for (Each& each : list) convert(each);
}

template <class Each>
void convert(std::optional<std::vector<Each>>& list)
{
    if (list.has_value()) convert(*list);
}

void convert(env_setting& s)
{
    convert(s.name);
    convert(s.value);
}

void convert(sim::clone_part& p)
{
    for (auto* text : {&p.output_name, &p.item_type, &p.pdm_name, &p.pdm_desc, &p.new_name}) convert(*text);
    convert(p.name);
    convert(p.attributes);
}

void convert(part_file_seed& f)
{
    convert(f.name);
    convert(f.attributes);
}

void convert(revision_seed& r)
{
    convert(r.rev_id);
    for (auto* text : {&r.native_file, &r.release_status, &r.released_date, &r.context}) convert(*text);
    convert(r.design_log);
}

void convert(item_seed& i)
{
    for (auto* text : {&i.item_id, &i.item_type, &i.name, &i.description}) convert(*text);
    convert(i.owner);
    convert(i.revisions);
}

void convert(scripted_reply& r) { convert(r.reply); }

void convert(recorded_answer& a)
{
    convert(a.input);
    convert(a.reply);
}

void convert(recorded_command& c)
{
    convert(c.program);
    convert(c.arguments);
}

void convert(file_seed& f)
{
    convert(f.path);
    convert(f.content);
}

void convert(host_callback& c)
{
    convert(c.name);
    convert(c.description);
}

void convert(scenario& s)
{
    convert(s.title);
    for (auto* text : {&s.def_item_type, &s.def_pdm_name, &s.def_pdm_desc, &s.def_directory}) convert(*text);
    convert(s.env);
    convert(s.initial_revision);
    convert(s.host_callbacks);
    convert(s.parts);
    convert(s.part_files);
    convert(s.exceptions);
    convert(s.items);
    convert(s.replies);
    convert(s.answers);
    convert(s.commands);
    convert(s.files);
}

void convert(part_outcome& p)
{
    for (auto* text : {&p.name, &p.item_id, &p.rev_id, &p.relation, &p.related_name}) convert(*text);
    for (auto* text : {&p.new_name, &p.item_type, &p.pdm_name, &p.pdm_desc, &p.stored_name, &p.stored_desc})
        convert(*text);
    convert(p.messages);
}

void convert(sim::pdm_request& r)
{
    convert(r.input);
    convert(r.reply);
}

void convert(request_note& n) { convert(n.part_name); }

void convert(sim::message_box& b)
{
    convert(b.title);
    convert(b.message);
}

void convert(file_change& f)
{
    for (auto* text : {&f.path, &f.content}) convert(*text);
    convert(f.attributes_written);
}

void convert(callback_outcome& c)
{
    convert(c.name);
    convert(c.calls);
}

void convert(journal_entry& j)
{
    for (auto* text : {&j.item_id, &j.rev_id, &j.detail}) convert(*text);
}

void convert(item_change& c)
{
    for (auto* text : {&c.item_id, &c.rev_id, &c.was, &c.becomes}) convert(*text);
}

void convert(program_run& r)
{
    convert(r.program);
    convert(r.arguments);
    convert(r.error_output);
}

void convert(finding& f)
{
    convert(f.part_name);
    convert(f.text);
}

void convert(step_mark& m) { convert(m.part_name); }

void convert(sim::point_call& c) { convert(c.part_name); }

}  // namespace

std::filesystem::path file_named(const run_outcome& out, const std::string& text)
{
    return os::path_of(out.texts_in_utf8 ? os::to_host_text(text).value_or(text) : text);
}

void texts_in_utf8(run_outcome& out)
{
    if (out.texts_in_utf8) return;
    out.texts_in_utf8 = true;
    convert(out.scene);
    convert(out.session.points);
    convert(out.parts);
    convert(out.requests);
    convert(out.request_notes);
    convert(out.message_boxes);
    convert(out.box_parts);
    convert(out.listing_texts);
    convert(out.listing_parts);
    convert(out.listing);
    convert(out.standard_output);
    convert(out.files);
    convert(out.host_callbacks);
    convert(out.journal);
    convert(out.item_changes);
    convert(out.program_runs);
    convert(out.misuse);
    convert(out.findings);
    convert(out.steps);
    convert(out.stand_ins);
}

}  // namespace clonesim
