/* Three-vector routines of quorvane.mathtools.vectools.vectools.
 *
 * The module exports them in its ``__pyx_capi__`` dictionary: routine name ->
 * capsule whose name is the routine's signature string below. Importers bind
 * them by name and check the string. The routines hold no state, never touch
 * the interpreter and are safe to call from any thread without its lock.
 */
#ifndef QUORVANE_MATHTOOLS_VECTOOLS_H
#define QUORVANE_MATHTOOLS_VECTOOLS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*quorvane_vec_scale_fn)(double const, double*, double*);
typedef void (*quorvane_vec_add_fn)(double*, double*, double*);
typedef void (*quorvane_vec_sub_fn)(double*, double*, double*);
typedef double (*quorvane_vec_dot_fn)(double*, double*);
typedef double (*quorvane_vec_norm_fn)(double*);

#define QUORVANE_VEC_SCALE_SIGNATURE "void (double const , double *, double *)"
#define QUORVANE_VEC_ADD_SIGNATURE "void (double *, double *, double *)"
#define QUORVANE_VEC_SUB_SIGNATURE "void (double *, double *, double *)"
#define QUORVANE_VEC_DOT_SIGNATURE "double (double *, double *)"
#define QUORVANE_VEC_NORM_SIGNATURE "double (double *)"

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_MATHTOOLS_VECTOOLS_H */
