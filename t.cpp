#include "tri.h"
#include <cstdio>
#include <random>
#include <cmath>
int main(){ std::mt19937 rng(3); std::uniform_real_distribution<double> U(-1,1); double worst=0;
 for(int n=1;n<=41;++n) for(int rep=0;rep<50;++rep){
  std::vector<double> d(n),e(n),m(n),r(n),x(n);
  for(int i=0;i<n;++i){ e[i]=U(rng); }
  for(int i=0;i<n;++i){ d[i]=2.5+U(rng) + (rep%2? 0: 1e3); x[i]=U(rng);}  
  for(int i=0;i<n;++i){ r[i]=d[i]*x[i] + (i>0? e[i-1]*x[i-1]:0) + (i+1<n? e[i]*x[i+1]:0);} 
  std::vector<double> D=d; factor(D,e,m); substitute(D,m,r);
  for(int i=0;i<n;++i) worst=std::fmax(worst,std::fabs(r[i]-x[i]));
 } printf("worst %g\n",worst);}
