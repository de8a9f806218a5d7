/* A process-wide request to stop waiting on the chip, for a program that
 * is asked to end (Ctrl-C, SIGTERM, a console close event) while a driver
 * call waits on a probe that has fallen silent.
 *
 * Part of the driver seam but not of D2XX: every driver layer links the one
 * definition in talviro_d2xx_api and looks at it while it waits. Once the
 * request is made, FT_Read gives up as soon as an attempt of its has brought
 * nothing, and returns FT_OK with the bytes that did arrive, as at its
 * time-out; a driver call that moves bytes is never cut short, so a healthy
 * exchange in progress still ends whole. The request stays until
 * d2xx_clear_abandon. */
#ifndef TALVIRO_D2XX_ABANDON_H
#define TALVIRO_D2XX_ABANDON_H

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the request. Async-signal-safe (a lock-free atomic store): a POSIX
 * signal handler or a Windows console control handler may call it, from any
 * thread. */
void d2xx_abandon_waits(void);

/* Non-zero once d2xx_abandon_waits was called, until d2xx_clear_abandon. */
int d2xx_waits_abandoned(void);

/* Takes the request back: waits run their course again. */
void d2xx_clear_abandon(void);

#ifdef __cplusplus
}
#endif

#endif
