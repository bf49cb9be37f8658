// Ceres Solver's trust-region Levenberg-Marquardt on one NIST problem, for
// bench/nist_c.c: one cost function holding all n residuals and the analytic
// n x m Jacobian, a dense QR of the (scaled) Jacobian, one thread.
#include "nist_ceres.h"

#include <exception>
#include <string>

#include <ceres/ceres.h>
#include <ceres/version.h>

namespace {

// Residuals f(p) - y and their Jacobian df/dp; Ceres's Jacobian block is
// n x m row-major, the layout the callbacks write.
class AllResiduals final : public ceres::CostFunction {
 public:
  AllResiduals(ceres_bench_callback model, ceres_bench_callback jacobian, const double *y, int m, int n, void *data)
      : model_(model), jacobian_(jacobian), y_(y), m_(m), n_(n), data_(data) {
    set_num_residuals(n);
    mutable_parameter_block_sizes()->push_back(m);
  }

  bool Evaluate(double const *const *parameters, double *residuals, double **jacobians) const override {
    model_(parameters[0], residuals, m_, n_, data_);
    for (int i = 0; i < n_; ++i) residuals[i] -= y_[i];
    if (jacobians && jacobians[0]) jacobian_(parameters[0], jacobians[0], m_, n_, data_);
    return true;
  }

 private:
  ceres_bench_callback model_, jacobian_;
  const double *y_;
  int m_, n_;
  void *data_;
};

int stop_reason(const ceres::Solver::Summary &summary) {
  const std::string &message = summary.message;
  auto starts = [&message](const char *text) { return message.rfind(text, 0) == 0; };
  if (starts("Function tolerance")) return CERES_BENCH_FUNCTION_TOLERANCE;
  if (starts("Gradient tolerance")) return CERES_BENCH_GRADIENT_TOLERANCE;
  if (starts("Parameter tolerance")) return CERES_BENCH_PARAMETER_TOLERANCE;
  if (starts("Maximum number of iterations")) return CERES_BENCH_MAX_ITERATIONS;
  if (starts("Minimum trust region radius")) return CERES_BENCH_MIN_TRUST_REGION;
  return CERES_BENCH_OTHER;
}

}  // namespace

namespace {

void fit(ceres_bench_callback model, ceres_bench_callback jacobian, const double *y, int m, int n, int max_iterations,
         void *data, double *p, ceres_bench_outcome *outcome) {
  AllResiduals cost(model, jacobian, y, m, n, data);
  ceres::Problem::Options problem_options;
  problem_options.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(problem_options);
  problem.AddResidualBlock(&cost, nullptr, p);

  ceres::Solver::Options options;
  options.minimizer_type = ceres::TRUST_REGION;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.linear_solver_type = ceres::DENSE_QR;
  options.num_threads = 1;
  options.max_num_iterations = max_iterations;
  // Far below the rounding level, so the fit stops where the steps stop
  // changing anything (on these problems 0 reaches the same digits).
  options.function_tolerance = 1e-20;
  options.gradient_tolerance = 1e-20;
  options.parameter_tolerance = 1e-20;
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;

  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  outcome->status = stop_reason(summary);
  outcome->iterations = summary.num_successful_steps + summary.num_unsuccessful_steps;
}

}  // namespace

// No C++ exception (a failed allocation) may cross into the C driver.
extern "C" void ceres_bench_fit(ceres_bench_callback model, ceres_bench_callback jacobian, const double *y, int m,
                                int n, int max_iterations, void *data, double *p, ceres_bench_outcome *outcome) {
  *outcome = ceres_bench_outcome{CERES_BENCH_OTHER, 0};
  try {
    fit(model, jacobian, y, m, n, max_iterations, data, p, outcome);
  } catch (const std::exception &) {
    outcome->status = CERES_BENCH_OTHER;
  }
}

extern "C" const char *ceres_bench_version(void) { return CERES_VERSION_STRING; }
