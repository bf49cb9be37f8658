import numpy as np

import ombrix

result = ombrix.fit(lambda p, t: p[0] * t, [1.0], np.ones(3), args=(np.arange(3.0),))
reveal_type(result.p)
reveal_type(result.status)
reveal_type(result.params)
