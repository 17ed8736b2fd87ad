// Within the supervisor: the choice of base (Choice, state.h), with its log
// lines and the report's base (in h).
#pragma once

#include "supervisor/state.h"

// Taken once the table was read at start-up (in c->table, c->table_read).
void init_choice(Choice *c, Health *h, const Config &cfg);
// The configuration for the next client: caster, account and mountpoint of
// the candidate to start; sentence: the one the client is handed.
void choose_for_start(Choice *c, Health *h, const Config &cfg, const char *sentence,
                      Config *run);
// A run's end, as the choice counts it (a failover is logged).
void choice_after_run(Choice *c, RunEnd end);
// While a client runs: a table that could not be read is asked for again
// a minute after the last query, without holding up the relay. Called at
// each turn of the relay loop; what the query's end makes readable, and
// when the next turn is wanted (monotonic ms, 0: no wish), are below.
void choice_turn(Choice *c, const Config &cfg);
int choice_query_fd(const Choice &c);
long long choice_due_ms(const Choice &c);
// A stop: a query that runs is ended.
void choice_stop(Choice *c);

// A new position from the receiver while a client runs: true when a switch
// is due (logged), and the client is to be ended for it.
bool choice_on_position(Choice *c, Health *h, const ReceiverView &v);
