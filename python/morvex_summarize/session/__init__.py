"""Reading an agent's session: what each step did and how it ended.

- `tools`: the table of known agents' tools, each with its kind and the arguments that
  name its file or command;
- `steps`: what a call or a command line does (read, edit, run, submit), the files it
  changes, and how a run ended from its output's structure;
- `evidence`: what an output shows (failed, passed, nothing settled), the line to quote,
  which check, read or change a command is;
- `transcript`, `phrases`, `messages`: the rendered transcript's entries, the words a
  message is read by, and what a message says (request, rules, context, facts);
- `reading`: a whole run read once, in order: its steps, what their outputs settled and
  what is open at the end.
"""
