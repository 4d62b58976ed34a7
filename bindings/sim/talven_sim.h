/*
 * talven_sim.h - faults for the simulated adapter behind libtalven.so (Linux only).
 *
 * libtalven.so runs talven against a simulated adapter. These calls make that adapter's driver
 * fail the requests of one OID, so that a C, Python or .NET station program can try its error
 * paths without C++. They act on the default adapter, the one that PacketGetAdapterNames lists.
 */
#ifndef TALVEN_SIM_H
#define TALVEN_SIM_H

#ifdef __cplusplus
extern "C" {
#endif

/* How the requests of the OID fail. */
#define TALVEN_SIM_FAIL_REQUEST 0     /* DeviceIoControl fails: the operation returns 0 */
#define TALVEN_SIM_NEVER_COMPLETE 1   /* accepted, but the command never finishes */
#define TALVEN_SIM_WRONG_COMMAND_ID 2 /* the command finishes under another CommandId */
#define TALVEN_SIM_FAIL_AND_ANSWER 3  /* fails, with the driver's answer written anyway */

/* The next `count` requests of `oid` (-1: all of them) fail as `mode` says. Faults add up;
 * the first that matches a request applies. Returns 1, or 0 for an unknown mode. */
int talven_sim_fail_oid(unsigned int oid, int mode, int count);

/* Removes every fault. */
void talven_sim_clear_faults(void);

/* Number of requests of `oid` the driver has received so far (0: all OID requests). */
unsigned int talven_sim_request_count(unsigned int oid);

#ifdef __cplusplus
}
#endif

#endif /* TALVEN_SIM_H */
